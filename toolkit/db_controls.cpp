// Test controls shared by both toolkit libraries: injected failures, the call recorder and
// trace file, and the details behind failure texts.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "toolkit/toolkit_controls.h"

namespace {

constexpr size_t kMaxRecorded = 10000;   // the recorder keeps the first calls only

std::mutex controls_mutex;
std::vector<std::string> recorded;
std::map<DASTATUS, std::string> details;

std::string trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

std::vector<std::string> toolkit_calls(void) {
    std::lock_guard<std::mutex> guard(controls_mutex);
    return recorded;
}

std::vector<std::string> toolkit_call_names(void) {
    std::lock_guard<std::mutex> guard(controls_mutex);
    std::vector<std::string> names;
    for (const std::string &line : recorded) names.push_back(line.substr(0, line.find('(')));
    return names;
}

void toolkit_calls_clear(void) {
    std::lock_guard<std::mutex> guard(controls_mutex);
    recorded.clear();
}

bool toolkit_fail_requested(const char *function, DASTATUS *status, std::string *option) {
    const char *env = std::getenv("TAV_TOOLKIT_FAIL");
    if (env == nullptr) return false;
    std::string list = env;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string item = trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        std::string name = trim(item.substr(0, item.find('=')));
        if (!name.empty() && name == function) {
            *status = DA_ERR_INJECTED;
            option->clear();
            size_t eq = item.find('=');
            if (eq != std::string::npos) {
                std::string rest = trim(item.substr(eq + 1));
                char *end = nullptr;
                errno = 0;
                long number = std::strtol(rest.c_str(), &end, 10);
                if (!rest.empty() && end != nullptr && *end == '\0' && errno == 0 && number >= INT32_MIN &&
                    number <= INT32_MAX) {
                    *status = static_cast<DASTATUS>(number);
                } else {
                    *option = rest;
                }
            }
            return true;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return false;
}

void toolkit_record(const std::string &line) {
    {
        std::lock_guard<std::mutex> guard(controls_mutex);
        if (recorded.size() < kMaxRecorded) recorded.push_back(line);
    }
    const char *trace = std::getenv("TAV_TOOLKIT_TRACE");
    if (trace == nullptr || trace[0] == '\0') return;
    FILE *file = std::fopen(trace, "a");
    if (file == nullptr) return;
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
}

std::string toolkit_quote(const char *text) {
    if (text == nullptr) return "null";
    return std::string("\"") + text + "\"";
}

void toolkit_set_detail(DASTATUS status, const std::string &detail) {
    std::lock_guard<std::mutex> guard(controls_mutex);
    details[status] = detail;
}

std::string toolkit_detail(DASTATUS status) {
    std::lock_guard<std::mutex> guard(controls_mutex);
    auto it = details.find(status);
    return it == details.end() ? std::string() : it->second;
}
