// Placeholder until the update-set generator lands.
#include "tools/tavsim_make_update.h"

#include <cstdio>

int tavsim_make_update(int, char **) {
    std::fprintf(stderr, "tavsim: make-update is not available yet\n");
    return 1;
}
