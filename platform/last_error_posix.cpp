// The calling thread's last error code, as the Windows calls leave it.
#include "platform/win32.h"

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD code) { last_error = code; }
