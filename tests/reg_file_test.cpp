// The registry store text: what the parser accepts and refuses, name folding, subtree
// deletion, and that any store written reads back the same, also after hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/reg_file.h"

namespace {

const std::string kHead = "Windows Registry Editor Version 5.00\n\n";
const std::string kKey = "HKEY_LOCAL_MACHINE\\Software\\Test";

bool parse_text(const std::string &text, tavreg::Store *store, std::string *error) {
    return tavreg::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), store, error);
}

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

std::vector<uint8_t> text_bytes(const std::string &text) {
    std::vector<uint8_t> out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

bool same(const tavreg::Store &a, const tavreg::Store &b) {
    if (a.keys.size() != b.keys.size()) return false;
    for (const auto &[path, key] : a.keys) {
        auto it = b.keys.find(path);
        if (it == b.keys.end() || it->second.name != key.name) return false;
        if (it->second.values.size() != key.values.size()) return false;
        for (size_t i = 0; i < key.values.size(); ++i) {
            const tavreg::Value &x = key.values[i];
            const tavreg::Value &y = it->second.values[i];
            if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
        }
    }
    return true;
}

struct AcceptCase {
    const char *what;
    std::string body;           // lines after the header, inside [kKey]
    const char *value;          // value name to look up
    uint32_t type;
    std::vector<uint8_t> data;
};

class RegFileAccepts : public testing::TestWithParam<AcceptCase> {};

TEST_P(RegFileAccepts, ValueReadsAsWritten) {
    const AcceptCase &c = GetParam();
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

INSTANTIATE_TEST_SUITE_P(
    Values, RegFileAccepts,
    testing::Values(
        AcceptCase{"dword", "\"Version\"=dword:0000abcd\n", "Version", 4, bytes({0xcd, 0xab, 0, 0})},
        AcceptCase{"short dword", "\"V\"=dword:1\n", "V", 4, bytes({1, 0, 0, 0})},
        AcceptCase{"upper-case hex digits and type word", "\"V\"=DWORD:FFFFFFFF\n", "V", 4,
                   bytes({0xff, 0xff, 0xff, 0xff})},
        AcceptCase{"text keeps its terminator", "\"Name\"=\"abc\"\n", "Name", 1, text_bytes("abc")},
        AcceptCase{"escaped backslash and quote", "\"P\"=\"c:\\\\x \\\"q\\\"\"\n", "P", 1,
                   text_bytes("c:\\x \"q\"")},
        AcceptCase{"empty text", "\"E\"=\"\"\n", "E", 1, bytes({0})},
        AcceptCase{"default value", "@=\"d\"\n", "", 1, text_bytes("d")},
        AcceptCase{"binary", "\"B\"=hex:01,02,ff\n", "B", 3, bytes({1, 2, 0xff})},
        AcceptCase{"typed hex", "\"M\"=hex(7):61,00,00\n", "M", 7, bytes({0x61, 0, 0})},
        AcceptCase{"empty binary", "\"B\"=hex:\n", "B", 3, bytes({})},
        AcceptCase{"continued hex list", "\"B\"=hex:01,02,\\\n  03,04\n", "B", 3, bytes({1, 2, 3, 4})},
        AcceptCase{"name looked up in another case", "\"FastIo\"=dword:1\n", "FASTIO", 4, bytes({1, 0, 0, 0})},
        AcceptCase{"later line wins", "\"V\"=dword:1\n\"v\"=dword:2\n", "V", 4, bytes({2, 0, 0, 0})},
        AcceptCase{"CRLF line ends, comments, blank lines", "; note\r\n\r\n\"V\"=dword:3\r\n", "V", 4,
                   bytes({3, 0, 0, 0})}),
    [](const testing::TestParamInfo<AcceptCase> &info) {
        std::string name;
        for (const char *p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

struct RejectCase {
    std::string text;
    int line;   // the line the error names
};

class RegFileRejects : public testing::TestWithParam<RejectCase> {};

TEST_P(RegFileRejects, NamesTheLine) {
    const RejectCase &c = GetParam();
    tavreg::Store store;
    std::string error;
    EXPECT_FALSE(parse_text(c.text, &store, &error));
    EXPECT_EQ(error.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, RegFileRejects,
    testing::Values(RejectCase{"", 0}, RejectCase{"REGEDIT5\n", 1}, RejectCase{"garbage", 1},
                    RejectCase{kHead + "\"V\"=dword:1\n", 3},                          // value before a key
                    RejectCase{kHead + "[HKEY_NOWHERE\\x]\n", 3},                      // unknown root
                    RejectCase{kHead + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 3},           // empty component
                    RejectCase{kHead + "[HKEY_LOCAL_MACHINE\\a\n", 3},                 // no closing bracket
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=dword:123456789\n", 4},  // nine digits
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=dword:12x\n", 4},
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=\"open\n", 4},           // unclosed text
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=\"a\\n\"\n", 4},         // unknown escape
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=\"a\" x\n", 4},          // trailing text
                    RejectCase{kHead + "[" + kKey + "]\n\"V\" dword:1\n", 4},          // no '='
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=hex:1,,2\n", 4},
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=hex:123\n", 4},
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=hex(:01\n", 4},
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=hex:01,\\\n", 4},        // continued at the end
                    RejectCase{kHead + "[" + kKey + "]\n\"V\"=qword:1\n", 4},
                    RejectCase{kHead + "[" + kKey + "]\nplain line\n", 4},
                    RejectCase{kHead + "[-" + kKey + "]\n\"V\"=dword:1\n", 4}));       // value of a deleted key

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
    EXPECT_EQ(store.keys.size(), 4u);
    EXPECT_EQ(tavreg::display_path(store, "hkey_local_machine\\software\\numega\\driveragent"),
              "HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent");

    tavreg::set_value(*again, "Version", 4, bytes({1, 0, 0, 0}).data(), 4);
    tavreg::set_value(*again, "VERSION", 4, bytes({2, 0, 0, 0}).data(), 4);
    ASSERT_EQ(again->values.size(), 1u);
    EXPECT_EQ(again->values[0].name, "Version");
    EXPECT_EQ(again->values[0].data, bytes({2, 0, 0, 0}));
    EXPECT_TRUE(tavreg::delete_value(*again, "version"));
    EXPECT_TRUE(again->values.empty());
}

TEST(RegFile, DeleteTreeTakesTheSubtreeOnly) {
    tavreg::Store store;
    const char *paths[] = {"HKEY_LOCAL_MACHINE\\S\\Dev", "HKEY_LOCAL_MACHINE\\S\\Dev\\A\\B",
                           "HKEY_LOCAL_MACHINE\\S\\Devices", "HKEY_LOCAL_MACHINE\\S\\Dev x"};
    for (const char *p : paths) tavreg::create_key(store, p, nullptr);
    EXPECT_TRUE(tavreg::delete_tree(store, "hkey_local_machine\\s\\DEV"));
    EXPECT_EQ(tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\S\\Dev"), nullptr);
    EXPECT_EQ(tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\S\\Dev\\A"), nullptr);
    EXPECT_NE(tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\S\\Devices"), nullptr);
    EXPECT_NE(tavreg::find_key(store, "HKEY_LOCAL_MACHINE\\S\\Dev x"), nullptr);
    EXPECT_FALSE(tavreg::delete_tree(store, "HKEY_LOCAL_MACHINE\\S\\Dev"));
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
    std::vector<uint8_t> long_binary(300);
    for (size_t i = 0; i < long_binary.size(); ++i) long_binary[i] = static_cast<uint8_t>(i * 7);
    struct {
        const char *name;
        uint32_t type;
        std::vector<uint8_t> data;
    } values[] = {
        {"", 1, text_bytes("default")},
        {"quote\"and\\slash", 1, text_bytes("c:\\winnt\\system32\\agentcd.sys \"x\"")},
        {"sz without terminator", 1, bytes({'a', 'b'})},
        {"sz with inner nul", 1, bytes({'a', 0, 'b', 0})},
        {"sz with line break", 1, bytes({'a', '\n', 'b', 0})},
        {"empty sz", 1, bytes({})},
        {"dword", 4, bytes({0x78, 0x56, 0x34, 0x12})},
        {"short dword", 4, bytes({1, 2})},
        {"binary", 3, long_binary},
        {"none", 0, bytes({})},
        {"big type", 0xffffffffu, bytes({9})},
    };
    for (auto &v : values) tavreg::set_value(*key, v.name, v.type, v.data.data(), v.data.size());
    std::string text = tavreg::write(store);
    tavreg::Store back;
    std::string error;
    ASSERT_TRUE(parse_text(text, &back, &error)) << error << "\n" << text;
    EXPECT_TRUE(same(store, back)) << text;
    EXPECT_NE(text.find("\"dword\"=dword:12345678\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"quote\\\"and\\\\slash\"=\"c:\\\\winnt"), std::string::npos) << text;
}

TEST(RegFile, RandomStoresReadBackTheSame) {
    std::mt19937 rng(7);
    const char alphabet[] = "aB z_\\\"[]=@;-:,.#\t\xc3\xa9";
    auto random_text = [&](size_t max) {
        std::string s;
        size_t n = rng() % (max + 1);
        for (size_t i = 0; i < n; ++i) s += alphabet[rng() % (sizeof alphabet - 1)];
        return s;
    };
    for (int round = 0; round < 200; ++round) {
        tavreg::Store store;
        for (int k = 0; k < 4; ++k) {
            std::string name = random_text(8);
            std::string clean;
            for (char c : name) clean += c == '\\' ? '/' : c;
            if (clean.empty()) clean = "k";
            tavreg::Key *key = tavreg::create_key(store, "HKEY_LOCAL_MACHINE\\R\\" + clean, nullptr);
            ASSERT_NE(key, nullptr) << clean;
            for (int v = 0; v < 3; ++v) {
                std::vector<uint8_t> data(rng() % 40);
                for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
                if (rng() % 2 == 0) {
                    std::string t = random_text(12);
                    data.assign(t.begin(), t.end());
                    data.push_back(0);
                }
                tavreg::set_value(*key, random_text(6), rng() % 6, data.data(), data.size());
            }
        }
        std::string text = tavreg::write(store);
        tavreg::Store back;
        std::string error;
        ASSERT_TRUE(parse_text(text, &back, &error)) << error << "\n" << text;
        ASSERT_TRUE(same(store, back)) << text;
    }
}

// Mutated store texts: the parser must never crash or read outside the buffer (the
// sanitizer build checks that), and whatever it accepts must write and read back the same.
TEST(RegFile, HostileInputIsRefusedOrReadConsistently) {
    std::string seed = kHead + "[" + kKey + "]\n\"V\"=dword:00000001\n\"S\"=\"a\\\\b\"\n\"B\"=hex:01,\\\n  02\n@=\"x\"\n";
    std::mt19937 rng(11);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = seed;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t pos = text.empty() ? 0 : rng() % text.size();
            switch (rng() % 3) {
            case 0: if (!text.empty()) text[pos] = static_cast<char>(rng()); break;
            case 1: text.insert(pos, 1, "\\\"[]=\n,:@-"[rng() % 11]); break;
            default: if (!text.empty()) text.erase(pos, 1 + rng() % 3); break;
            }
        }
        // An exactly sized heap copy, so a read past the end is caught.
        std::vector<uint8_t> buffer(text.begin(), text.end());
        tavreg::Store store;
        std::string error;
        if (!tavreg::parse(buffer.data(), buffer.size(), &store, &error)) {
            ASSERT_FALSE(error.empty());
            continue;
        }
        ++accepted;
        std::string written = tavreg::write(store);
        tavreg::Store back;
        ASSERT_TRUE(parse_text(written, &back, &error)) << error << "\nfrom:\n" << text;
        ASSERT_TRUE(same(store, back)) << text;
    }
    EXPECT_GT(accepted, 100);
}

TEST(RegFile, SplitPathRules) {
    std::vector<std::string> parts;
    EXPECT_TRUE(tavreg::split_path("", &parts));
    EXPECT_TRUE(parts.empty());
    EXPECT_TRUE(tavreg::split_path("a\\b\\", &parts));
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(tavreg::split_path("\\a", &parts));
    EXPECT_FALSE(tavreg::split_path("a\\\\b", &parts));
    EXPECT_FALSE(tavreg::split_path("a\\\\", &parts));
}

}  // namespace
