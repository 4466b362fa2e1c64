// Whether a file can be changed only by the user the program runs as (and root): the test
// that a privileged program applies to a file whose contents decide what it does, as ssh
// and sudo judge their files. The file is judged through the descriptor it is then read
// from, so nothing can be swapped in between. POSIX only.
#pragma once

#include <string>

// Opens `path` for reading when it and every folder on the way to it from / are owned by
// root or the effective user and are not writable by group or others (a sticky folder may
// be: nobody else can replace what is ours in it). Symbolic links on the way are followed
// and judged by their targets; a link itself must be ours when it sits in a folder that
// others may write. The file at the end is opened without following a link and judged
// through its descriptor: a regular file, owned and writable as above.
// 1 with *fd open for reading (the caller closes it); 0 when nothing is there and nobody
// else could put it there (*fd is -1); -1 otherwise, also for a path missing from a folder
// others may write, with *problem naming the unsafe path and the fix ("chown root PATH",
// "chmod go-w PATH").
int open_protected(const std::string &path, int *fd, std::string *problem);
