// tavbackup: writes a loaded board's contents out as an update set that loads them back.
// The exit status is 0 when the set was written, 1 when refused or failed, 2 for bad
// usage, 255 when the toolkit, the device or the range cannot be opened or mapped, or the
// tick thread cannot be started.
#include "access/access.h"
#include "check/board_check.h"

int main(int argc, char **argv) { return RunOnBoardWindow(backup_main, argc, argv); }
