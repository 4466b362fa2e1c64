// Where the registry stand-in keeps its store on POSIX: $TAV_HOME/registry.reg, a text
// file in the Windows registry export format that a person can read and a test can seed.
// Every registry call reads it under a shared file lock ($TAV_HOME/registry.reg.lock);
// every change rewrites it whole under an exclusive lock (a new file under a fresh temporary
// name, created exclusively and never through a link, then renamed over the store).
// A store that cannot be parsed is reported (ERROR_BADDB and a line on standard error
// naming the file) and never overwritten. Key handles are local to the process.
#pragma once

#include <string>

// The store's path, or "" when there is no state folder.
std::string registry_store_path(void);

// Guarded reads, for a run whose device database decides where root writes: while on, every
// read opens the store once through open_protected (no link followed at its end; the open
// file and every folder above it judged) and parses what that descriptor holds. A store that
// is refused, or is missing from a folder others may write, fails the call with
// ERROR_ACCESS_DENIED, and registry_store_refusal() names the path and the fix until the
// next read. Off by default.
void registry_store_guard(bool on);
std::string registry_store_refusal(void);
