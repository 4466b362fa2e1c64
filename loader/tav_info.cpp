// The board information record: word sums, preparation, sealing, validity and the dump.
#include "loader/tav_info.h"

#include <cstdio>
#include <cstring>

#include "loader/loader.h"

TAVInfo tav_info;

void sum_longs(const uint8_t *data, uint32_t length, uint32_t *sum) {
    uint32_t total = *sum;
    uint32_t words = length / 4;
    for (uint32_t i = 0; i < words; i++) {
        const uint8_t *p = data + 4 * i;
        total += static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    *sum = total;
}

namespace {

// The standard date text of a broken-down time, with its newline; 0 when there is none.
int local_date_text(time_t now, char *text, size_t size) {
    static const char weekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (now == static_cast<time_t>(-1)) return 0;
    struct tm local;
#if defined(_WIN32)
    if (localtime_s(&local, &now) != 0) return 0;
#else
    if (localtime_r(&now, &local) == nullptr) return 0;
#endif
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) return 0;
    int n = std::snprintf(text, size, "%.3s %.3s%3d %.2d:%.2d:%.2d %lld\n", weekdays[local.tm_wday],
                          months[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                          static_cast<long long>(local.tm_year) + 1900);
    return n > 0 ? 1 : 0;
}

}  // namespace

void format_tav_timestamp(time_t now, char field[32]) {
    char text[64];
    if (!local_date_text(now, text, sizeof text)) {
        std::snprintf(text, sizeof text, "%s\n", TAV_INFO_FALLBACK_TIME);
    }
    // A bounded copy that pads with zeros, the last byte forced to zero, then the text cut
    // at its last newline.
    size_t length = strnlen(text, 32);
    std::memset(field, 0, 32);
    std::memcpy(field, text, length);
    field[31] = '\0';
    char *newline = find_last_char(field, '\n');
    if (newline != nullptr) *newline = '\0';
}

void prepare_tav_info(TAVInfo *record, uint32_t game_number) {
    std::memset(record, 0, sizeof *record);
    record->tav_info_size = TAV_INFO_WORDS;
    record->tav_info_checksum = 0;
    record->game_id = static_cast<int32_t>(game_number);
    record->game_size = 0;
    record->game_checksum = 0;
    record->sound_size = 0;
    record->sound_checksum = 0;
    format_tav_timestamp(time(nullptr), record->tav_info_timestamp);
    std::strncpy(record->magic_cookie, TAV_INFO_COOKIE, sizeof record->magic_cookie);
    record->magic_cookie[7] = '\0';
}

void seal_tav_info(TAVInfo *record) {
    uint32_t sum = 0;
    record->tav_info_checksum = 0;
    sum_longs(reinterpret_cast<const uint8_t *>(record), TAV_INFO_BYTES, &sum);
    record->tav_info_checksum = 0u - sum;
}

int tav_info_valid(const TAVInfo *record) {
    if (record->tav_info_size != TAV_INFO_WORDS) return 0;
    uint32_t sum = 0;
    sum_longs(reinterpret_cast<const uint8_t *>(record), TAV_INFO_BYTES, &sum);
    return sum == 0 ? 1 : 0;
}

void print_printable(const char *text, uint32_t max) {
    for (uint32_t i = 0; i < max; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E) break;
        std::putchar(c);
    }
}

void print_tav_info(const TAVInfo *record) {
    std::printf("TAVInfo structure:\n");
    std::printf("  tav_info_timestamp: \"");
    print_printable(record->tav_info_timestamp, sizeof record->tav_info_timestamp);
    std::printf("\"\n");
    std::printf("  tav_info_size:       %ld\n", static_cast<long>(static_cast<int32_t>(record->tav_info_size)));
    std::printf("  tav_info_checksum:   0x%lx\n", static_cast<unsigned long>(record->tav_info_checksum));
    std::printf("  game_id:             %ld\n", static_cast<long>(record->game_id));
    std::printf("  game_size:           %ld\n", static_cast<long>(record->game_size));
    std::printf("  game_checksum:       0x%lx\n", static_cast<unsigned long>(record->game_checksum));
    std::printf("  sound_size:          %ld\n", static_cast<long>(record->sound_size));
    std::printf("  sound_checksum:      0x%lx\n", static_cast<unsigned long>(record->sound_checksum));
    std::printf("  magic_cookie:        \"");
    print_printable(record->magic_cookie, sizeof record->magic_cookie);
    std::printf("\"\n");
}
