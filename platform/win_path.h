// Windows paths on this machine, mapped the way a Windows compatibility layer does: the
// backslashes become slashes, a drive "X:" becomes the folder $TAV_HOME/drive_x (lower-case
// letter), and a path without a drive stays relative to the current directory (or absolute,
// when it starts with a backslash or slash). Below a drive folder each name is looked up
// without regard to case when no file has exactly that name, as Windows names are.
// POSIX only: on Windows the paths are used as they are.
#pragma once

#include <string>

// The local path for windows_path; "" when windows_path is null or empty, or names a drive
// while the state folder is not available.
std::string native_path(const char *windows_path);
