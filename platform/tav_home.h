// Where our layers keep their state on this machine: $TAV_HOME, by default
// ~/.local/state/tav (on Windows %LOCALAPPDATA%\tav).
#pragma once

#include <string>

// The state folder, created (with its parents) when missing. Empty on failure.
std::string tav_home(void);
