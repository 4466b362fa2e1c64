// Placeholder until the status report lands.
#include "loader/loader.h"

int show_status(void) { return RESULT_NOT_LOADED; }
