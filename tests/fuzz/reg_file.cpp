// Fuzz target: the registry store's text parser. Any input either is refused with a reason,
// or parses into a store whose written text parses again into the same text.
#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/reg_file.h"

namespace {

[[noreturn]] void fault(const std::string &what) {
    // Through the sanitizers' report channel: it stays open when libFuzzer closes stderr.
    __sanitizer_report_error_summary(("reg_file fuzz: " + what).c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tavreg::Store store;
    std::string error;
    if (!tavreg::parse(data, size, &store, &error)) {
        if (error.empty()) fault("refused without a reason");
        return 0;
    }
    std::string text = tavreg::write(store);
    tavreg::Store again;
    if (!tavreg::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &again, &error)) {
        fault("the written store does not parse: " + error);
    }
    if (tavreg::write(again) != text) {
        fault("the store changed on a round trip");
    }
    return 0;
}
