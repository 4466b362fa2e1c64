// Placeholder until the update sequences land.
#include "loader/loader.h"

int load_board(void) { return RESULT_NOT_RESPONDING; }
