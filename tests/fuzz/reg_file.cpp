// Fuzz target: the registry store's text parser. Any input is refused with a reason, or parses
// into a store whose written text parses again into the same text.
#include "platform/reg_file.h"
#include "tests/fuzz/fault.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tavreg::Store store, again;
    std::string error;
    bool parsed = tavreg::parse(data, size, &store, &error);
    if (!parsed && error.empty()) fuzz_fault("reg_file: refused without a reason");
    if (!parsed) return 0;
    std::string text = tavreg::write(store);
    if (!tavreg::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &again, &error))
        fuzz_fault("reg_file: the written store does not parse: " + error);
    if (tavreg::write(again) != text) fuzz_fault("reg_file: the store changed on a round trip");
    return 0;
}
