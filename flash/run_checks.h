// The argument checks that flash_read and flash_write share, in their order and with the
// calling routine's name in each message.
#pragma once

#include <cstdint>

#include "flash/flash.h"

// Checks the record, the offset's alignment, the count's multiple of the device width, the
// offset and the run inside the space, and the data pointer. 1 when all hold, else -1
// after the message of the first that fails ("<routine>(): ...").
int flash_check_run(const char *routine, const FSI *fsi, uint32_t offset, uint32_t count, const void *data);
