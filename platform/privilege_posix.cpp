#include "platform/privilege.h"

#include <unistd.h>

#include <cstdlib>

bool acting_for_another_user(void) { return getuid() != geteuid() || std::getenv("SUDO_USER") != nullptr; }
