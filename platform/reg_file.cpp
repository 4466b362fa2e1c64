#include "platform/reg_file.h"

#include <cstdio>

namespace tavreg {

namespace {

constexpr uint32_t kTypeString = 1;   // REG_SZ
constexpr uint32_t kTypeBinary = 3;   // REG_BINARY
constexpr uint32_t kTypeDword = 4;    // REG_DWORD

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kOldHeader[] = "REGEDIT4";

const char *const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                              "HKEY_CURRENT_CONFIG"};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_space(char c) { return c == ' ' || c == '\t'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_root(const std::string &name) {
    for (const char *root : kRoots) {
        if (fold(name) == fold(root)) return true;
    }
    return false;
}

// One physical line of the text, without its line end.
struct Cursor {
    const uint8_t *text;
    size_t size;
    size_t pos = 0;
    size_t line_number = 0;

    bool next_line(std::string *line) {
        if (pos >= size) return false;
        size_t end = pos;
        while (end < size && text[end] != '\n') ++end;
        line->assign(reinterpret_cast<const char *>(text) + pos, end - pos);
        if (!line->empty() && line->back() == '\r') line->pop_back();
        pos = end < size ? end + 1 : end;
        ++line_number;
        return true;
    }
};

std::string trim(const std::string &text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Reads a quoted text starting at text[*pos] == '"'; only \\ and \" are escapes.
bool read_quoted(const std::string &text, size_t *pos, std::string *out, std::string *error) {
    out->clear();
    size_t i = *pos + 1;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text.size()) break;
            char e = text[i + 1];
            if (e != '\\' && e != '"') {
                *error = "unknown escape \\" + std::string(1, e) + " in a quoted text (write \\\\ for a backslash)";
                return false;
            }
            out->push_back(e);
            i += 2;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    *error = "quoted text without its closing quote";
    return false;
}

bool only_space_from(const std::string &text, size_t pos) {
    for (size_t i = pos; i < text.size(); ++i) {
        if (!is_space(text[i])) return false;
    }
    return true;
}

// Parses "hh,hh,..." (possibly empty) into bytes.
bool parse_hex_list(const std::string &list, std::vector<uint8_t> *bytes, std::string *error) {
    bytes->clear();
    std::string body = trim(list);
    if (body.empty()) return true;
    size_t i = 0;
    while (true) {
        while (i < body.size() && is_space(body[i])) ++i;
        int digits = 0;
        int value = 0;
        while (i < body.size() && hex_digit(body[i]) >= 0) {
            if (++digits > 2) {
                *error = "a byte of a hex list has more than two digits";
                return false;
            }
            value = value * 16 + hex_digit(body[i]);
            ++i;
        }
        if (digits == 0) {
            *error = "a hex list holds something that is not a byte";
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(value));
        while (i < body.size() && is_space(body[i])) ++i;
        if (i == body.size()) return true;
        if (body[i] != ',') {
            *error = "bytes of a hex list must be separated by commas";
            return false;
        }
        ++i;
    }
}

std::string hex_list(const std::vector<uint8_t> &data, size_t first_line_used) {
    std::string out;
    size_t column = first_line_used;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
        column += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++column;
            if (column >= 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string quote(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// True when a REG_SZ value can be written as "text": exactly one NUL, at the end, and no
// line breaks.
bool plain_string(const Value &value) {
    if (value.type != kTypeString || value.data.empty() || value.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < value.data.size(); ++i) {
        uint8_t c = value.data[i];
        if (c == 0 || c == '\n' || c == '\r') return false;
    }
    return true;
}

// Splits "ROOT\a\b" into folded path and components; false when malformed.
bool split_full(const std::string &full_path, std::vector<std::string> *components) {
    size_t slash = full_path.find('\\');
    std::string root = full_path.substr(0, slash);
    if (!is_root(root)) return false;
    components->clear();
    components->push_back(root);
    if (slash == std::string::npos) return true;
    std::vector<std::string> rest;
    std::string tail = full_path.substr(slash + 1);
    if (tail.empty() || !split_path(tail, &rest) || rest.empty()) return false;
    components->insert(components->end(), rest.begin(), rest.end());
    return true;
}

bool parse_value_line(const std::string &line, Key *key, std::string *error) {
    std::string name;
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (!read_quoted(line, &pos, &name, error)) {
        return false;
    }
    while (pos < line.size() && is_space(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != '=') {
        *error = "a value name must be followed by '='";
        return false;
    }
    ++pos;
    while (pos < line.size() && is_space(line[pos])) ++pos;
    std::string rest = line.substr(pos);
    if (trim(rest) == "-") {
        delete_value(*key, name);
        return true;
    }
    if (!rest.empty() && rest[0] == '"') {
        std::string text;
        size_t p = 0;
        if (!read_quoted(rest, &p, &text, error)) return false;
        if (!only_space_from(rest, p)) {
            *error = "text after the closing quote of a value";
            return false;
        }
        std::vector<uint8_t> data(text.begin(), text.end());
        data.push_back(0);
        set_value(*key, name, kTypeString, data.data(), data.size());
        return true;
    }
    std::string lowered = fold(rest);
    if (lowered.compare(0, 6, "dword:") == 0) {
        std::string digits = trim(rest.substr(6));
        if (digits.empty() || digits.size() > 8) {
            *error = "a dword value needs one to eight hex digits";
            return false;
        }
        uint32_t number = 0;
        for (char c : digits) {
            if (hex_digit(c) < 0) {
                *error = "a dword value needs one to eight hex digits";
                return false;
            }
            number = number * 16 + static_cast<uint32_t>(hex_digit(c));
        }
        uint8_t data[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                           static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
        set_value(*key, name, kTypeDword, data, 4);
        return true;
    }
    if (lowered.compare(0, 3, "hex") == 0) {
        uint32_t type = kTypeBinary;
        size_t p = 3;
        if (p < rest.size() && rest[p] == '(') {
            ++p;
            int digits = 0;
            type = 0;
            while (p < rest.size() && hex_digit(rest[p]) >= 0) {
                if (++digits > 8) break;
                type = type * 16 + static_cast<uint32_t>(hex_digit(rest[p]));
                ++p;
            }
            if (digits == 0 || digits > 8 || p >= rest.size() || rest[p] != ')') {
                *error = "hex(N) needs a type of one to eight hex digits";
                return false;
            }
            ++p;
        }
        if (p >= rest.size() || rest[p] != ':') {
            *error = "a hex value needs ':' before its bytes";
            return false;
        }
        std::vector<uint8_t> data;
        if (!parse_hex_list(rest.substr(p + 1), &data, error)) return false;
        set_value(*key, name, type, data.data(), data.size());
        return true;
    }
    *error = "a value must be \"text\", dword:, hex: or hex(N):";
    return false;
}

}  // namespace

std::string fold(const std::string &text) {
    std::string out(text);
    for (char &c : out) c = lower(c);
    return out;
}

bool split_path(const std::string &path, std::vector<std::string> *components) {
    components->clear();
    if (path.empty()) return true;
    std::string body = path;
    if (body.size() > 1 && body.back() == '\\') body.pop_back();
    size_t start = 0;
    while (true) {
        size_t slash = body.find('\\', start);
        std::string part = body.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty()) return false;
        components->push_back(part);
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

Key *find_key(Store &store, const std::string &full_path) {
    auto it = store.keys.find(fold(full_path));
    return it == store.keys.end() ? nullptr : &it->second;
}

const Key *find_key(const Store &store, const std::string &full_path) {
    auto it = store.keys.find(fold(full_path));
    return it == store.keys.end() ? nullptr : &it->second;
}

Key *create_key(Store &store, const std::string &full_path, bool *created) {
    std::vector<std::string> components;
    if (created != nullptr) *created = false;
    if (!split_full(full_path, &components)) return nullptr;
    std::string folded;
    Key *key = nullptr;
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) folded += '\\';
        folded += fold(components[i]);
        auto it = store.keys.find(folded);
        if (it == store.keys.end()) {
            it = store.keys.emplace(folded, Key{}).first;
            it->second.name = components[i];
            if (i + 1 == components.size() && created != nullptr) *created = true;
        }
        key = &it->second;
    }
    return key;
}

bool delete_tree(Store &store, const std::string &full_path) {
    std::string folded = fold(full_path);
    if (store.keys.find(folded) == store.keys.end()) return false;
    auto it = store.keys.lower_bound(folded);
    while (it != store.keys.end() && it->first.compare(0, folded.size(), folded) == 0) {
        if (it->first.size() == folded.size() || it->first[folded.size()] == '\\') {
            it = store.keys.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

void clear_key(Store &store, const std::string &full_path) {
    std::string folded = fold(full_path);
    auto self = store.keys.find(folded);
    if (self == store.keys.end()) return;
    self->second.values.clear();
    std::string prefix = folded + '\\';
    auto it = store.keys.lower_bound(prefix);
    while (it != store.keys.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = store.keys.erase(it);
}

std::string display_path(const Store &store, const std::string &folded_path) {
    std::string out;
    size_t start = 0;
    while (true) {
        size_t slash = folded_path.find('\\', start);
        std::string prefix = folded_path.substr(0, slash);
        auto it = store.keys.find(prefix);
        if (!out.empty()) out += '\\';
        std::string part = folded_path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        out += it != store.keys.end() ? it->second.name : part;
        if (slash == std::string::npos) return out;
        start = slash + 1;
    }
}

Value *find_value(Key &key, const std::string &name) {
    std::string folded = fold(name);
    for (Value &value : key.values) {
        if (fold(value.name) == folded) return &value;
    }
    return nullptr;
}

const Value *find_value(const Key &key, const std::string &name) {
    std::string folded = fold(name);
    for (const Value &value : key.values) {
        if (fold(value.name) == folded) return &value;
    }
    return nullptr;
}

void set_value(Key &key, const std::string &name, uint32_t type, const uint8_t *data, size_t size) {
    Value *value = find_value(key, name);
    if (value == nullptr) {
        key.values.push_back(Value{});
        value = &key.values.back();
        value->name = name;
    }
    value->type = type;
    value->data.assign(data, data + size);
}

bool delete_value(Key &key, const std::string &name) {
    std::string folded = fold(name);
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (fold(it->name) == folded) {
            key.values.erase(it);
            return true;
        }
    }
    return false;
}

namespace {

// regedit writes version 5.00 files in UTF-16LE behind a byte-order mark. Such a text is
// read as its UTF-8 equivalent; false with "line N: reason" for an odd byte count or an
// unpaired surrogate.
bool utf16le_to_utf8(const uint8_t *text, size_t size, std::string *out, std::string *error) {
    out->clear();
    size_t line_number = 1;
    auto fail = [&](const char *why) {
        *error = "line " + std::to_string(line_number) + ": " + why;
        return false;
    };
    if (size % 2 != 0) return fail("a UTF-16 text must have an even number of bytes");
    for (size_t i = 0; i < size; i += 2) {
        uint32_t unit = static_cast<uint32_t>(text[i]) | static_cast<uint32_t>(text[i + 1]) << 8;
        uint32_t code = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < size) {
            uint32_t low = static_cast<uint32_t>(text[i + 2]) | static_cast<uint32_t>(text[i + 3]) << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (code >= 0xD800 && code <= 0xDFFF) return fail("a UTF-16 text with an unpaired surrogate");
        if (code == '\n') ++line_number;
        if (code < 0x80) {
            out->push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out->push_back(static_cast<char>(0xC0 | code >> 6));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | code >> 12));
            out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | code >> 18));
            out->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return true;
}

}  // namespace

bool parse(const uint8_t *text, size_t size, Store *store, std::string *error) {
    store->keys.clear();
    if (size >= 2 && text[0] == 0xFF && text[1] == 0xFE) {
        std::string utf8;
        if (!utf16le_to_utf8(text + 2, size - 2, &utf8, error)) return false;
        return parse(reinterpret_cast<const uint8_t *>(utf8.data()), utf8.size(), store, error);
    }
    Cursor cursor{text, size};
    if (size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) cursor.pos = 3;
    std::string line;
    std::string reason;
    auto fail = [&](const std::string &why) {
        *error = "line " + std::to_string(cursor.line_number) + ": " + why;
        return false;
    };
    if (!cursor.next_line(&line) || (trim(line) != kHeader && trim(line) != kOldHeader)) {
        return fail(std::string("the first line must be \"") + kHeader + "\"");
    }
    std::string section;   // folded path of the current key; empty before the first section
    bool in_deleted = false;
    while (cursor.next_line(&line)) {
        std::string body = trim(line);
        if (body.empty() || body[0] == ';') continue;
        if (body[0] == '[') {
            if (body.back() != ']' || body.size() < 3) return fail("a key line must be [path]");
            std::string path = body.substr(1, body.size() - 2);
            bool remove = path[0] == '-';
            if (remove) path.erase(0, 1);
            std::vector<std::string> components;
            if (!split_full(path, &components)) return fail("bad key path \"" + path + "\"");
            if (remove) {
                delete_tree(*store, path);
                section.clear();
                in_deleted = true;
            } else {
                create_key(*store, path, nullptr);
                section = fold(path);
                if (section.back() == '\\') section.pop_back();
                in_deleted = false;
            }
            continue;
        }
        if (body[0] == '"' || body[0] == '@') {
            if (in_deleted) return fail("a value under a deleted key");
            if (section.empty()) return fail("a value before the first key");
            // A hex list may continue over the following lines, each ending in a backslash.
            std::string logical = body;
            while (logical.back() == '\\' && logical.find("=hex") != std::string::npos) {
                logical.pop_back();
                std::string more;
                if (!cursor.next_line(&more)) return fail("the text ends inside a continued hex list");
                logical += trim(more);
            }
            Key &key = store->keys[section];
            if (!parse_value_line(logical, &key, &reason)) return fail(reason);
            continue;
        }
        return fail("a line must be a [key], a \"value\"=..., a @=... or a ; comment");
    }
    return true;
}

std::string write(const Store &store) {
    std::string out = kHeader;
    out += "\n\n";
    char number[32];
    for (const auto &[folded, key] : store.keys) {
        out += '[' + display_path(store, folded) + "]\n";
        for (const Value &value : key.values) {
            std::string line = value.name.empty() ? "@=" : quote(value.name) + '=';
            if (plain_string(value)) {
                line += quote(std::string(value.data.begin(), value.data.end() - 1));
            } else if (value.type == kTypeDword && value.data.size() == 4) {
                uint32_t v = static_cast<uint32_t>(value.data[0]) | static_cast<uint32_t>(value.data[1]) << 8 |
                             static_cast<uint32_t>(value.data[2]) << 16 | static_cast<uint32_t>(value.data[3]) << 24;
                std::snprintf(number, sizeof number, "dword:%08x", v);
                line += number;
            } else {
                if (value.type == kTypeBinary) {
                    line += "hex:";
                } else {
                    std::snprintf(number, sizeof number, "hex(%x):", value.type);
                    line += number;
                }
                line += hex_list(value.data, line.size());
            }
            out += line + '\n';
        }
        out += '\n';
    }
    return out;
}

}  // namespace tavreg
