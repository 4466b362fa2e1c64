// The Windows services of the POSIX stand-in, where a user sees them: the state folder a run takes (never from
// HOME when privileged), and the registry store's text as regedit writes it (UTF-16 or REGEDIT4) or refuses it,
// naming the line. Registry calls, paths and version resources are the installer's rows; a store refused as a run
// sees it is the chain's; hostile store text and images are the fuzz targets'.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "platform/reg_file.h"
#include "platform/tav_home.h"
#include "tests/support.h"

using Bytes = std::vector<uint8_t>;

// TAV_HOME when given; else under the home folder, which a run as root or through sudo takes from the password
// database, never from HOME.
TEST(Platform, APrivilegedRunNeverTakesItsStateFolderFromHome) {
    const tavtest::TempHome home;
    const std::string saved = getenv("HOME");
    const std::string database = std::string(getpwuid(geteuid())->pw_dir) + "/.local/state/tav";
    const bool existed = std::filesystem::exists(database);
    std::string plain = home.file("user") + "/.local/state/tav";
    if (geteuid() == 0) plain = database;
    setenv("HOME", home.file("user").c_str(), 1);
    EXPECT_EQ(tav_home(), home.path());
    unsetenv("TAV_HOME");
    EXPECT_EQ(tav_home(), plain);
    setenv("SUDO_USER", "alice", 1);
    EXPECT_EQ(tav_home(), database);
    unsetenv("SUDO_USER");
    setenv("HOME", saved.c_str(), 1);
    if (!existed) std::filesystem::remove(database);
}

Bytes utf16(const std::u16string &text) {
    Bytes bytes = {0xFF, 0xFE};
    for (char16_t unit : text) {
        bytes.push_back(uint8_t(unit & 0xFF));
        bytes.push_back(uint8_t(unit >> 8));
    }
    return bytes;
}

Bytes ascii(const std::string &text) { return Bytes(text.begin(), text.end()); }

// What regedit writes: version 5.00 in UTF-16LE behind a byte-order mark (non-ASCII text comes out as UTF-8), or
// the old REGEDIT4 header; "V" reads as the UTF-8 text. Malformed text is refused naming its line.
TEST(RegFile, RegeditExportsAndMalformedLines) {
    const std::string head = "Windows Registry Editor Version 5.00\n\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Test]\n";
    const struct {
        const char *name;
        Bytes text;
        std::string error;  // its start; "": parsed
    } rows[] = {
        {"5.00", utf16(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n"
                       u"\"V\"=\"\u00e9\U0001F600\"\r\n"), ""},
        {"REGEDIT4", ascii("REGEDIT4\n\n" + key + "\"V\"=\"\xc3\xa9\xf0\x9f\x98\x80\"\n"), ""},
        {"odd UTF-16", Bytes{0xFF, 0xFE, 'R', 0, 'E'}, "line 1: a UTF-16 text must have an even number of bytes"},
        {"lone surrogate", utf16(u"REGEDIT4\r\n\xD800"), "line 2: a UTF-16 text with an unpaired surrogate"},
        {"empty", ascii(""), "line 0:"},
        {"value outside a key", ascii(head + "\"V\"=dword:1\n"), "line 3:"},
        {"unknown root", ascii(head + "[HKEY_NOWHERE\\x]\n"), "line 3:"},
        {"dword too long", ascii(head + key + "\"V\"=dword:123456789\n"), "line 4:"},
        {"open string", ascii(head + key + "\"V\"=\"open\n"), "line 4:"},
        {"hex continued at the end", ascii(head + key + "\"V\"=hex:01,\\\n"), "line 4:"},
        {"unknown type", ascii(head + key + "\"V\"=qword:1\n"), "line 4:"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tavreg::Store store;
        std::string error;
        const bool parsed = tavreg::parse(row.text.data(), row.text.size(), &store, &error);
        EXPECT_EQ(parsed, row.error.empty()) << error;
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
        if (!parsed) continue;
        const tavreg::Key *key = tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\Software\\Test");
        ASSERT_NE(key, nullptr);
        const tavreg::Value *value = tavreg::find_value(*key, "V");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->data, (Bytes{0xc3, 0xa9, 0xf0, 0x9f, 0x98, 0x80, 0}));
    }
}
