// Console output shared by the loader body and the flash driver.
#pragma once

// Writes printf-style text to standard error; returns what the formatted write returns.
int print_error(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
