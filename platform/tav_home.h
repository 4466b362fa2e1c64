// Where our layers keep their state on this machine: $TAV_HOME, by default
// ~/.local/state/tav (on Windows %LOCALAPPDATA%\tav).
//
// On POSIX "~" is HOME for an ordinary user. A program run as root, set-uid, or through sudo
// (SUDO_USER set) takes the home folder of its effective user from the password database
// instead, never from HOME: under sudo HOME may still be the invoking user's, and the state
// of a privileged run (the device database above all) must not be a folder that user owns.
#pragma once

#include <string>

// The state folder, created (with its parents) when missing. Empty on failure.
std::string tav_home(void);
