// Fuzz target: the version resource parser of PE images. Any input is refused with a known
// reason, or the resource found lies inside the input and carries the fixed file information
// that the parser reports.
#include "platform/pe_version.h"
#include "tests/fuzz/fault.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tavpe::VersionResource found;
    tavpe::Result result = tavpe::find_version_resource(data, size, &found);
    if (tavpe::describe(result) == nullptr) fuzz_fault("pe_version: a result without a text");
    if (result != tavpe::Result::ok) return 0;
    if (found.offset > size || found.size > size - found.offset) fuzz_fault("pe_version: the resource lies outside");
    size_t fixed = 0;
    if (tavpe::find_fixed_info(data + found.offset, found.size, &fixed) != tavpe::Result::ok)
        fuzz_fault("pe_version: the resource is not a version block");
    if (fixed > found.size || tavpe::fixed_info_size > found.size - fixed)
        fuzz_fault("pe_version: the fixed file information lies outside the resource");
    const uint8_t *info = data + found.offset + fixed;
    if (fuzz_le_word(info) != tavpe::fixed_info_signature || fuzz_le_word(info + 8) != found.file_version_ms ||
        fuzz_le_word(info + 12) != found.file_version_ls)
        fuzz_fault("pe_version: the fixed file information is not the one reported");
    return 0;
}
