#include "installer/installer.h"

int main(int argc, char **argv) { return install_main(argc, argv); }
