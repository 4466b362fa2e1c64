#include "flash/print_error.h"

#include <cstdarg>
#include <cstdio>

int print_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int written = vfprintf(stderr, format, args);
    va_end(args);
    return written;
}
