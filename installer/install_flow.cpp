// The installer's run: the install path, the path length and version checks, the device and
// memory range registration, the "FastIo" flag, the class driver service, the result.
#include "installer/installer.h"

#include "installer/names.h"
#include "platform/win32.h"
#include "toolkit/DaConfig.h"

#include <cstdio>
#include <iostream>

int install_main(int argc, char **argv) {
    ranges_added = 0;
    bool windows95 = IsWindows95Family();
    const char *install_path = windows95 ? "c:\\windows\\system" : "c:\\winnt\\system32";
    if (argc > 1 && argv[1] != nullptr) install_path = argv[1];
    std::cerr << "Install Path:" << install_path << std::endl;

    char system_directory[MAX_PATH] = "";
    UINT system_length = GetSystemDirectoryA(system_directory, sizeof(system_directory));

    bool installed = false;
    if (!InstallPathFits(install_path, windows95)) {
        // Nothing is cut short: a path that does not fit is refused before anything else.
        std::cerr << "Error: Install path is too long" << std::endl;
    } else if (system_length >= sizeof(system_directory) || !SystemDirectoryFits(system_directory, windows95)) {
        std::cerr << "Error: System directory path is too long" << std::endl;
    } else if (CheckVersions(install_path) && AddBoardDevice() && AddBoardMemoryRange() && SetFastIoFlag()) {
        char service_path[install_path_buffer_size];
        std::snprintf(service_path, sizeof(service_path), "%s\\%s", install_path,
                      windows95 ? class_driver_file_95 : class_driver_file_nt);
        DASTATUS status = InstallDeviceService(service_name, service_display_name, service_path, -1);
        if (status >= 0) {
            installed = true;
        } else {
            std::cerr << "Error: Unable to install the AGENTCD device service" << std::endl;
        }
    }

    if (installed) {
        std::cerr << "The installation of device " << device_name << " is complete." << std::endl;
        if (windows95) std::cerr << "The system must be restarted for " << "the changes to take effect" << std::endl;
        return 0;
    }
    std::cerr << "Error: Installation of device " << device_name << " failed." << std::endl;
    return -1;
}
