// The process heap and local memory, over the C runtime's allocator. Memory the system
// hands to a caller (FormatMessageA's text) is released with LocalFree.
#include "platform/win32.h"

#include <cstdlib>
#include <cstring>

namespace {
// Any non-null value: there is one heap.
char process_heap_tag;
}  // namespace

HANDLE GetProcessHeap(void) { return &process_heap_tag; }

LPVOID HeapAlloc(HANDLE heap, DWORD flags, size_t bytes) {
    if (heap != &process_heap_tag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // A zero-byte block is a valid, distinct block on Windows.
    void *memory = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(bytes == 0 ? 1 : bytes, 1)
                                                   : std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID memory) {
    if (heap != &process_heap_tag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(memory);
    return TRUE;
}

// NULL on success, as on Windows.
HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
