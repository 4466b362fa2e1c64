// The tick thread on Windows.
#include <windows.h>

#include "flash/tick_platform.h"
#include "flash/ticks.h"

namespace {

DWORD WINAPI tick_thread_entry(LPVOID argument) {
    tick_thread(argument);
    return 0;
}

}  // namespace

int tick_thread_launch(void) {
    HANDLE thread = CreateThread(nullptr, 0, tick_thread_entry, nullptr, 0, nullptr);
    if (thread == nullptr) return -1;
    CloseHandle(thread);
    return 1;
}

void tick_sleep(void) { Sleep(100); }
