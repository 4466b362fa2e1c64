// The installer's name on Windows: install.exe, run as "install".
#include "toolkit/installer_name.h"

std::string installer_command(void) { return "install"; }
