// Fuzz target: the registry store's text parser. Any input is refused with a reason, or parses
// into a store whose written text parses again into the same text.
#include <sanitizer/common_interface_defs.h>

#include <cstdlib>
#include <string>

#include "platform/reg_file.h"

// Reported through the sanitizers' channel: it stays open when libFuzzer closes stderr.
[[noreturn]] static void fault(const std::string &what) {
    __sanitizer_report_error_summary(("reg_file fuzz: " + what).c_str());
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tavreg::Store store, again;
    std::string error;
    if (!tavreg::parse(data, size, &store, &error)) {
        if (error.empty()) fault("refused without a reason");
        return 0;
    }
    std::string text = tavreg::write(store);
    if (!tavreg::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &again, &error)) fault("the written store does not parse: " + error);
    if (tavreg::write(again) != text) fault("the store changed on a round trip");
    return 0;
}
