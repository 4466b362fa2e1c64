// How the toolkit's texts name the installer: the command that a user of this system types
// to run it, in "(run ... first)" and "(run ... again)".
#pragma once

#include <string>

// On Windows "install" (install.exe, beside the programs). On POSIX the installer is
// tav-install (a plain "install" is install(1) of coreutils): "tav-install" when the
// tav-install a user would find - beside the running program, else in the sbin folder of the
// prefix the program was installed into - is the one PATH runs; its full path when PATH runs
// another one or none (a normal user's PATH has no sbin folder); "tav-install" when there is
// none to find.
std::string installer_command(void);
