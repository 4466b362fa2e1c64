// The board window on POSIX: the toolkit stand-in is linked into the program, and its
// MapMemoryToProcess binds the model board to the window in the program's own board
// accesses. Nothing is left to do here.
#include "access/access.h"

void BindBoardWindow(uint8_t *) {}

void UnbindBoardWindow(uint8_t *) {}
