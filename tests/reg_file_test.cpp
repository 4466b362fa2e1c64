// The registry store text: what the parser accepts and refuses, name folding, sections and
// deletions, and that a store with every kind of awkward name and value reads back the same.
// Mutated and random input is left to the fuzz target of the parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/reg_file.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kHead = "Windows Registry Editor Version 5.00\n\n";
const std::string kKey = "HKEY_LOCAL_MACHINE\\Software\\Test";

bool parse_text(const std::string &text, tavreg::Store *store, std::string *error) {
    return tavreg::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), store, error);
}

Bytes text_bytes(const std::string &text) { return Bytes(text.c_str(), text.c_str() + text.size() + 1); }

bool same(const tavreg::Store &a, const tavreg::Store &b) {
    auto same_value = [](const tavreg::Value &x, const tavreg::Value &y) {
        return x.name == y.name && x.type == y.type && x.data == y.data;
    };
    auto same_key = [&](const tavreg::Key &x, const tavreg::Key &y) {
        return x.name == y.name && std::equal(x.values.begin(), x.values.end(), y.values.begin(), y.values.end(),
                                              same_value);
    };
    return std::equal(a.keys.begin(), a.keys.end(), b.keys.begin(), b.keys.end(),
                      [&](const auto &x, const auto &y) { return x.first == y.first && same_key(x.second, y.second); });
}

TEST(RegFile, AcceptedValuesReadAsWritten) {
    struct Case {
        std::string body;     // lines inside [kKey]
        const char *value;    // value name to look up
        uint32_t type;
        Bytes data;
    } cases[] = {
        {"\"Version\"=dword:0000abcd\n", "Version", 4, {0xcd, 0xab, 0, 0}},
        {"\"V\"=dword:1\n", "V", 4, {1, 0, 0, 0}},
        {"\"V\"=DWORD:FFFFFFFF\n", "V", 4, {0xff, 0xff, 0xff, 0xff}},
        {"\"Name\"=\"abc\"\n", "Name", 1, text_bytes("abc")},
        {"\"P\"=\"c:\\\\x \\\"q\\\"\"\n", "P", 1, text_bytes("c:\\x \"q\"")},
        {"\"E\"=\"\"\n", "E", 1, {0}},
        {"@=\"d\"\n", "", 1, text_bytes("d")},
        {"\"B\"=hex:01,02,ff\n", "B", 3, {1, 2, 0xff}},
        {"\"M\"=hex(7):61,00,00\n", "M", 7, {0x61, 0, 0}},
        {"\"B\"=hex:\n", "B", 3, {}},
        {"\"B\"=hex:01,02,\\\n  03,04\n", "B", 3, {1, 2, 3, 4}},
        {"\"FastIo\"=dword:1\n", "FASTIO", 4, {1, 0, 0, 0}},
        {"\"V\"=dword:1\n\"v\"=dword:2\n", "V", 4, {2, 0, 0, 0}},
        {"; note\r\n\r\n\"V\"=dword:3\r\n", "V", 4, {3, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        tavreg::Store store;
        std::string error;
        ASSERT_TRUE(parse_text(kHead + "[" + kKey + "]\n" + c.body, &store, &error)) << error;
        const tavreg::Key *key = tavreg::find_key(store, kKey);
        ASSERT_NE(key, nullptr);
        const tavreg::Value *value = tavreg::find_value(*key, c.value);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }
}

// What regedit writes: version 5.00 in UTF-16LE behind a byte-order mark (non-ASCII text
// comes out as UTF-8), and the old REGEDIT4 header.
TEST(RegFile, RegeditExportsRead) {
    auto utf16 = [](const std::u16string &text) {
        Bytes bytes = {0xFF, 0xFE};
        for (char16_t unit : text) bytes.insert(bytes.end(), {uint8_t(unit & 0xFF), uint8_t(unit >> 8)});
        return bytes;
    };
    auto raw = [](const std::string &text) { return Bytes(text.begin(), text.end()); };
    const std::u16string key = u"[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n";
    struct Case {
        Bytes text;
        const char *error;   // nullptr: accepted, with "V" as in kValue
    } cases[] = {
        {utf16(u"Windows Registry Editor Version 5.00\r\n\r\n" + key + u"\"V\"=\"\u00e9\U0001F600\"\r\n"), nullptr},
        {raw("REGEDIT4\n\n[" + kKey + "]\n\"V\"=\"\xc3\xa9\xf0\x9f\x98\x80\"\n"), nullptr},
        {utf16(u"REGEDIT4\r\n" + key + u"\"V\"=\"\u00e9\U0001F600\"\r\n"), nullptr},
        {Bytes{0xFF, 0xFE, 'R', 0, 'E'}, "line 1: a UTF-16 text must have an even number of bytes"},
        {utf16(u"REGEDIT4\r\n\xD800"), "line 2: a UTF-16 text with an unpaired surrogate"},
        {utf16(u"Windows Registry Editor Version 4.00\r\n"), "line 1: the first line must be"},
    };
    const Bytes kValue = {0xc3, 0xa9, 0xf0, 0x9f, 0x98, 0x80, 0};
    for (const Case &c : cases) {
        tavreg::Store store;
        std::string error;
        bool parsed = tavreg::parse(c.text.data(), c.text.size(), &store, &error);
        if (c.error != nullptr) {
            EXPECT_FALSE(parsed);
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
            continue;
        }
        ASSERT_TRUE(parsed) << error;
        const tavreg::Key *found = tavreg::find_key(store, kKey);
        ASSERT_NE(found, nullptr);
        const tavreg::Value *value = tavreg::find_value(*found, "V");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->data, kValue);
    }
}

TEST(RegFile, MalformedTextIsRefusedNamingTheLine) {
    const std::string in_key = kHead + "[" + kKey + "]\n";
    struct Case {
        std::string text;
        int line;
    } cases[] = {
        {"", 0}, {"REGEDIT5\n", 1}, {"garbage", 1},
        {kHead + "\"V\"=dword:1\n", 3},                  // value before a key
        {kHead + "[HKEY_NOWHERE\\x]\n", 3},              // unknown root
        {kHead + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 3},   // empty component
        {kHead + "[HKEY_LOCAL_MACHINE\\a\n", 3},         // no closing bracket
        {in_key + "\"V\"=dword:123456789\n", 4},         // nine digits
        {in_key + "\"V\"=dword:12x\n", 4},
        {in_key + "\"V\"=\"open\n", 4},                  // unclosed text
        {in_key + "\"V\"=\"a\\n\"\n", 4},                // unknown escape
        {in_key + "\"V\"=\"a\" x\n", 4},                 // trailing text
        {in_key + "\"V\" dword:1\n", 4},                 // no '='
        {in_key + "\"V\"=hex:1,,2\n", 4},
        {in_key + "\"V\"=hex:123\n", 4},
        {in_key + "\"V\"=hex(:01\n", 4},
        {in_key + "\"V\"=hex:01,\\\n", 4},               // continued at the end
        {in_key + "\"V\"=qword:1\n", 4},
        {in_key + "plain line\n", 4},
        {kHead + "[-" + kKey + "]\n\"V\"=dword:1\n", 4},   // value of a deleted key
    };
    for (const Case &c : cases) {
        tavreg::Store store;
        std::string error;
        EXPECT_FALSE(parse_text(c.text, &store, &error)) << c.text;
        EXPECT_EQ(error.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << c.text << ": " << error;
    }
}

TEST(RegFile, KeysFoldCaseButKeepTheFirstSpelling) {
    tavreg::Store store;
    bool created = false;
    ASSERT_NE(tavreg::create_key(store, "HKEY_LOCAL_MACHINE\\Software\\NuMega", &created), nullptr);
    EXPECT_TRUE(created);
    tavreg::Key *again = tavreg::create_key(store, "hkey_local_machine\\SOFTWARE\\numega\\DriverAgent", &created);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(created);
    tavreg::create_key(store, "HKEY_LOCAL_MACHINE\\software\\NUMEGA", &created);
    EXPECT_FALSE(created);
    EXPECT_EQ(store.keys.size(), 4u);   // the root and every ancestor are keys
    EXPECT_EQ(tavreg::display_path(store, "hkey_local_machine\\software\\numega\\driveragent"),
              "HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent");
    EXPECT_TRUE(tavreg::delete_tree(store, "hkey_local_machine\\software\\NUMEGA"));
    EXPECT_EQ(store.keys.size(), 2u);
}

TEST(RegFile, SectionsImplyTheirParentsAndDeletionsApply) {
    tavreg::Store store;
    std::string error;
    std::string text = kHead + "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"x\"=dword:1\n\"y\"=dword:2\n\"x\"=-\n\n" +
                       "[HKEY_LOCAL_MACHINE\\A\\Gone\\Sub]\n[-HKEY_LOCAL_MACHINE\\A\\Gone]\n";
    ASSERT_TRUE(parse_text(text, &store, &error)) << error;
    EXPECT_NE(tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\A\\B"), nullptr);
    const tavreg::Key *c = tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\A\\B\\C");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(tavreg::find_value(*c, "x"), nullptr);
    EXPECT_NE(tavreg::find_value(*c, "y"), nullptr);
    EXPECT_EQ(tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\A\\Gone"), nullptr);
    EXPECT_EQ(tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\A\\Gone\\Sub"), nullptr);
}

TEST(RegFile, WrittenStoresReadBackTheSame) {
    tavreg::Store store;
    tavreg::Key *key = tavreg::create_key(store, "HKEY_LOCAL_MACHINE\\Software\\Odd \"Key\" ]x", nullptr);
    ASSERT_NE(key, nullptr);
    Bytes long_binary(300);
    for (size_t i = 0; i < long_binary.size(); ++i) long_binary[i] = static_cast<uint8_t>(i * 7);
    struct {
        const char *name;
        uint32_t type;
        Bytes data;
    } values[] = {
        {"", 1, text_bytes("default")},
        {"quote\"and\\slash", 1, text_bytes("c:\\winnt\\system32\\agentcd.sys \"x\"")},
        {"sz without terminator", 1, {'a', 'b'}},
        {"sz with inner nul", 1, {'a', 0, 'b', 0}},
        {"sz with line break", 1, {'a', '\n', 'b', 0}},
        {"empty sz", 1, {}},
        {"dword", 4, {0x78, 0x56, 0x34, 0x12}},
        {"short dword", 4, {1, 2}},
        {"binary", 3, long_binary},
        {"none", 0, {}},
        {"big type", 0xffffffffu, {9}},
    };
    for (auto &v : values) tavreg::set_value(*key, v.name, v.type, v.data.data(), v.data.size());
    tavreg::set_value(*key, "DWORD", 4, values[6].data.data(), 4);   // same value in another case
    std::string text = tavreg::write(store);
    tavreg::Store back;
    std::string error;
    ASSERT_TRUE(parse_text(text, &back, &error)) << error << "\n" << text;
    EXPECT_TRUE(same(store, back)) << text;
    EXPECT_NE(text.find("\"dword\"=dword:12345678\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("DWORD"), std::string::npos) << text;
    EXPECT_NE(text.find("\"quote\\\"and\\\\slash\"=\"c:\\\\winnt"), std::string::npos) << text;
}

}  // namespace
