// The Windows services of the POSIX stand-in, where a user sees them: the state folder a run
// takes (never from HOME when privileged), and the registry store's text as regedit writes it
// (UTF-16 or REGEDIT4) or refuses it, naming the line. Paths, registry calls and version
// resources are exercised by the installer's rows; hostile store text and images are the fuzz
// targets'.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/reg_file.h"
#include "platform/tav_home.h"
#include "tests/support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The state folder: TAV_HOME when given; else under the home folder, which a run as root or
// through sudo takes from the password database, never from HOME.
TEST(Platform, APrivilegedRunNeverTakesItsStateFolderFromHome) {
    tavtest::TempHome home;
    const std::string fake = home.path() + "/invoking-user", database = getpwuid(geteuid())->pw_dir;
    const std::string made = database + "/.local/state/tav", saved = getenv("HOME") ? getenv("HOME") : "";
    const bool existed = std::filesystem::exists(made);
    const struct { const char *tav_home, *sudo_user; std::string expected; } rows[] = {
        {home.path().c_str(), "alice", home.path()}, {nullptr, "alice", made},
        {nullptr, nullptr, (geteuid() == 0 ? database : fake) + "/.local/state/tav"}};
    for (const auto &row : rows) {
        setenv("HOME", fake.c_str(), 1);
        row.tav_home ? setenv("TAV_HOME", row.tav_home, 1) : unsetenv("TAV_HOME");
        row.sudo_user ? setenv("SUDO_USER", row.sudo_user, 1) : unsetenv("SUDO_USER");
        EXPECT_EQ(tav_home(), row.expected);
    }
    setenv("TAV_HOME", home.path().c_str(), 1);
    setenv("HOME", saved.c_str(), 1);
    unsetenv("SUDO_USER");
    std::error_code ec;
    if (!existed) std::filesystem::remove(made, ec);
}

Bytes utf16(const std::u16string &text) {
    Bytes bytes = {0xFF, 0xFE};
    for (char16_t unit : text) bytes.insert(bytes.end(), {uint8_t(unit & 0xFF), uint8_t(unit >> 8)});
    return bytes;
}
Bytes ascii(const std::string &text) { return Bytes(text.begin(), text.end()); }

// What regedit writes: version 5.00 in UTF-16LE behind a byte-order mark (non-ASCII text comes
// out as UTF-8), and the old REGEDIT4 header in either encoding; "V" reads as the UTF-8 text.
// Malformed text is refused naming its line.
TEST(RegFile, RegeditExportsAndMalformedLines) {
    const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Test", head = "Windows Registry Editor Version 5.00\n\n", in_key = head + "[" + key + "]\n";
    const std::u16string key16 = u"[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n";
    const struct { Bytes text; std::string error; /* "": parsed */ } rows[] = {
        {utf16(u"Windows Registry Editor Version 5.00\r\n\r\n" + key16 + u"\"V\"=\"\u00e9\U0001F600\"\r\n"), ""},
        {ascii("REGEDIT4\n\n[" + key + "]\n\"V\"=\"\xc3\xa9\xf0\x9f\x98\x80\"\n"), ""}, {utf16(u"REGEDIT4\r\n" + key16 + u"\"V\"=\"\u00e9\U0001F600\"\r\n"), ""},
        {Bytes{0xFF, 0xFE, 'R', 0, 'E'}, "line 1: a UTF-16 text must have an even number of bytes"},
        {utf16(u"REGEDIT4\r\n\xD800"), "line 2: a UTF-16 text with an unpaired surrogate"},
        {utf16(u"Windows Registry Editor Version 4.00\r\n"), "line 1: the first line must be"}, {ascii(""), "line 0:"},
        {ascii(head + "\"V\"=dword:1\n"), "line 3:"}, {ascii(head + "[HKEY_NOWHERE\\x]\n"), "line 3:"},
        {ascii(in_key + "\"V\"=dword:123456789\n"), "line 4:"}, {ascii(in_key + "\"V\"=\"open\n"), "line 4:"},
        {ascii(in_key + "\"V\"=hex:01,\\\n"), "line 4:"}, {ascii(in_key + "\"V\"=qword:1\n"), "line 4:"}};
    for (const auto &row : rows) {
        tavreg::Store store;
        std::string error;
        bool parsed = tavreg::parse(row.text.data(), row.text.size(), &store, &error);
        EXPECT_EQ(parsed, row.error.empty()) << error;
        if (!parsed) {
            EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
            continue;
        }
        const tavreg::Key *found = tavreg::find_key(store, key);
        const tavreg::Value *value = found ? tavreg::find_value(*found, "V") : nullptr;
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->data, (Bytes{0xc3, 0xa9, 0xf0, 0x9f, 0x98, 0x80, 0}));
    }
}

}  // namespace
