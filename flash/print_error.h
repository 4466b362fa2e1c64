// The flash driver's error printer: every driver message goes to standard error through it.
#pragma once

// Writes printf-style text to standard error; returns what the formatted write returns.
int print_error(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
