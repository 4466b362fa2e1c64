// Path lengths: every path the installer builds must fit its buffer whole, terminator
// included, so that no path is ever cut short and then used.
#include "installer/installer.h"

#include "installer/names.h"

#include <cstring>

namespace {

// True when folder + "\" + name, with its terminator, fits `buffer_size` bytes.
bool fits(const char *folder, const char *name, size_t buffer_size) {
    return std::strlen(folder) + 1 + std::strlen(name) < buffer_size;
}

}  // namespace

bool InstallPathFits(const char *install_path, bool windows95_family) {
    const char *driver = windows95_family ? class_driver_file_95 : class_driver_file_nt;
    return fits(install_path, toolkit_library_file, install_path_buffer_size) &&
           fits(install_path, driver, install_path_buffer_size);
}

bool SystemDirectoryFits(const char *system_directory, bool windows95_family) {
    const char *driver = windows95_family ? installed_class_driver_95 : installed_class_driver_nt;
    return fits(system_directory, toolkit_library_file, system_path_buffer_size) &&
           fits(system_directory, driver, system_path_buffer_size);
}
