// Whether a file can be changed only by the user the program runs as (and root): the test
// that a privileged program applies to a file whose contents decide what it does, as ssh
// and sudo judge their files. POSIX only.
#pragma once

#include <string>

// 1 when `path` and every folder on the way to it from / are owned by root or the effective
// user and are not writable by group or others (a sticky folder may be: nobody else can
// replace what is ours in it), and `path` is a regular file. Symbolic links are followed
// and judged by their targets; a link itself must be ours when it sits in a folder that
// others may write. A path that does not exist (yet) passes when the folders above it do.
// -1 otherwise, with *problem naming the unsafe path and the fix ("chown root PATH",
// "chmod go-w PATH").
int path_protected(const std::string &path, std::string *problem);
