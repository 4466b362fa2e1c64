// Fuzz target: the registry store's text parser. Any input either is refused with a reason,
// or parses into a store whose written text parses again into the same text.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tavreg::Store store;
    std::string error;
    if (!tavreg::parse(data, size, &store, &error)) {
        if (error.empty()) {
            std::fprintf(stderr, "reg_file fuzz: refused without a reason\n");
            std::abort();
        }
        return 0;
    }
    std::string text = tavreg::write(store);
    tavreg::Store again;
    if (!tavreg::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &again, &error)) {
        std::fprintf(stderr, "reg_file fuzz: the written store does not parse: %s\n", error.c_str());
        std::abort();
    }
    if (tavreg::write(again) != text) {
        std::fprintf(stderr, "reg_file fuzz: the store changed on a round trip\n");
        std::abort();
    }
    return 0;
}
