// Where the registry stand-in keeps its store on POSIX: $TAV_HOME/registry.reg, a text
// file in the Windows registry export format that a person can read and a test can seed.
// Every registry call reads it under a shared file lock ($TAV_HOME/registry.reg.lock);
// every change rewrites it whole under an exclusive lock (temporary file, then rename).
// A store that cannot be parsed is reported (ERROR_BADDB and a line on standard error
// naming the file) and never overwritten. Key handles are local to the process.
#pragma once

#include <string>

// The store's path, or "" when there is no state folder.
std::string registry_store_path(void);
