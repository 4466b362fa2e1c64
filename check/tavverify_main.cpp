// tavverify: checks the board through the same access path as tavload. The exit status is
// 0 when it verifies, 1 when not, 2 for bad usage, 255 when the toolkit, the device or the
// range cannot be opened or mapped, or the tick thread cannot be started.
#include "access/access.h"
#include "check/board_check.h"

int main(int argc, char **argv) { return RunOnBoardWindow(verify_main, argc, argv); }
