// The platform family and the system directory. TAV_PLATFORM=95 makes this machine a
// member of the Windows 95 family (version 4.0, build 950); otherwise it is a Windows NT
// family system (version 5.0, build 2195).
#include "platform/win32.h"

#include <cstdlib>
#include <cstring>

namespace {

bool windows95_family() {
    const char *platform = std::getenv("TAV_PLATFORM");
    return platform != nullptr && std::strcmp(platform, "95") == 0;
}

}  // namespace

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(reinterpret_cast<char *>(info) + sizeof(DWORD), 0, sizeof(OSVERSIONINFOA) - sizeof(DWORD));
    if (windows95_family()) {
        info->dwMajorVersion = 4;
        info->dwMinorVersion = 0;
        info->dwBuildNumber = 950;
        info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    } else {
        info->dwMajorVersion = 5;
        info->dwMinorVersion = 0;
        info->dwBuildNumber = 2195;
        info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    }
    return TRUE;
}

// As on Windows: the length without the terminator when the buffer holds the path, else
// the size needed including the terminator (the buffer is then left alone).
UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    const char *directory = windows95_family() ? "c:\\windows\\system" : "c:\\winnt\\system32";
    UINT length = static_cast<UINT>(std::strlen(directory));
    if (buffer == nullptr || size <= length) return length + 1;
    std::memcpy(buffer, directory, length + 1);
    return length;
}
