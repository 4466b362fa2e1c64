#include "installer/installer.h"

#include "platform/win32.h"

#include <cstring>

bool IsWindows95Family(void) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&info)) return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}
