// The one function our user-mode library exports beyond the vendor's: the board accesses
// for a window that MapMemoryToProcess put the model board behind.
//
// Why: the model board lives inside the library. Where the library is a DLL (Windows), the
// program's flash driver has its own copy of the board accesses, and the binding of the
// window to the model that the library makes inside itself is not seen there. The program
// asks for this function by name after mapping the window (GetProcAddress) and binds the
// accesses it hands out in its own image. The vendor's library has no such function: the
// window is then the board's real memory, reached with plain loads and stores.
#pragma once

#include "flash/board_access.h"
#include "toolkit/DriverAgent.h"

// The name under which the library exports it.
constexpr const char kModelWindowAccessName[] = "TavModelWindowAccess";

// 1 with *ops and *ctx set when `window` is a window this library mapped onto the model
// board and still holds; 0 (nothing written) for any other address, or a null argument.
// The accesses stay valid until the range is closed.
typedef int (*ModelWindowAccessFn)(void *window, const BoardAccessOps **ops, void **ctx);
DRIVERAGENT_API int TavModelWindowAccess(void *window, const BoardAccessOps **ops, void **ctx);
