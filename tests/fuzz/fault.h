// A fuzz target's failed check, reported through the sanitizers' channel (it stays open when
// libFuzzer closes standard error), then the run aborts.
#pragma once
#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fuzz_fault(const std::string &what) {
    __sanitizer_report_error_summary(what.c_str());
    std::abort();
}
// A failed check unless `holds`: what failed, with the number that shows it.
inline void fuzz_check(bool holds, const std::string &what, uint64_t detail) {
    if (!holds) fuzz_fault(what + " (" + std::to_string(detail) + ")");
}
inline uint32_t fuzz_le_word(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
