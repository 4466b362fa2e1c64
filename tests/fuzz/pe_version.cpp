// Fuzz target: the version resource parser of PE images. Any input is refused with a known
// reason, or the resource found lies inside the input and carries the fixed file information
// that the parser reports.
#include <sanitizer/common_interface_defs.h>

#include <cstdlib>
#include <string>

#include "platform/pe_version.h"

// Reported through the sanitizers' channel: it stays open when libFuzzer closes stderr.
[[noreturn]] static void fault(const char *what) {
    __sanitizer_report_error_summary((std::string("pe_version fuzz: ") + what).c_str());
    std::abort();
}

static uint32_t le_word(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tavpe::VersionResource found;
    tavpe::Result result = tavpe::find_version_resource(data, size, &found);
    if (tavpe::describe(result) == nullptr) fault("a result without a text");
    if (result != tavpe::Result::ok) return 0;
    if (found.offset > size || found.size > size - found.offset) fault("the resource lies outside the image");
    size_t fixed = 0;
    if (tavpe::find_fixed_info(data + found.offset, found.size, &fixed) != tavpe::Result::ok) fault("the resource found is not a version block");
    if (fixed > found.size || tavpe::fixed_info_size > found.size - fixed) fault("the fixed file information lies outside the resource");
    const uint8_t *info = data + found.offset + fixed;
    if (le_word(info) != tavpe::fixed_info_signature) fault("the fixed file information has no signature");
    if (le_word(info + 8) != found.file_version_ms || le_word(info + 12) != found.file_version_ls) fault("the file version reported is not the one stored");
    return 0;
}
