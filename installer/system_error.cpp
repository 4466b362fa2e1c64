#include "installer/installer.h"

#include "platform/win32.h"

#include <iostream>

void ReportSystemError(uint32_t code) {
    if (code == 0) return;
    LPSTR text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length != 0 && text != nullptr) std::cerr << text << std::flush;
    if (text != nullptr) LocalFree(text);
}
