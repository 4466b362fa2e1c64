// tavload: the loader's program entry. The exit status is what DeviceInitialization
// returns (-1 shows as 255 to the shell).
#include "access/access.h"

int main(int argc, char **argv, char **envp) { return DeviceInitialization(argc, argv, envp); }
