// The board window on Windows. The driver toolkit's library is a DLL: when it is ours, the
// window may stand for the model board inside it, and the library hands out the accesses
// that reach that model; they are bound here, in the program's own board accesses. The
// vendor's library has no such function, and the window is the board's real memory.
#include <windows.h>

#include "access/access.h"
#include "toolkit/model_window.h"

namespace {

// The toolkit library's file, as the program imports it.
constexpr const char kAgentLibrary[] = "DriverAgent.dll";

ModelWindowAccessFn model_window_access(void) {
    HMODULE library = GetModuleHandleA(kAgentLibrary);
    if (library == nullptr) return nullptr;
    FARPROC function = GetProcAddress(library, kModelWindowAccessName);
    if (function == nullptr) return nullptr;
    return reinterpret_cast<ModelWindowAccessFn>(reinterpret_cast<void *>(function));
}

}  // namespace

void BindBoardWindow(uint8_t *window) {
    ModelWindowAccessFn access = model_window_access();
    if (access == nullptr) return;
    const BoardAccessOps *ops = nullptr;
    void *ctx = nullptr;
    if (access(window, &ops, &ctx) == 1 && ops != nullptr) board_access_bind(window, ops, ctx);
}

void UnbindBoardWindow(uint8_t *window) { board_access_unbind(window); }
