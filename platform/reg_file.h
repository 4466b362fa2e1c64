// The registry store as text: the Windows registry export format
// ("Windows Registry Editor Version 5.00", [HKEY_LOCAL_MACHINE\...] sections,
// "name"=dword:0000abcd, "name"="text", "name"=hex:.., "name"=hex(N):.., @=.. for the
// default value, [-key] and "name"=- for deletions, ";" comments, "\" line continuation
// of hex lists). Both directions are pure functions over memory, so hostile input can be
// fed to the parser directly: it never reads outside the buffer and never crashes.
//
// Key and value names compare without regard to ASCII case; a name keeps the case it had
// when it was first written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavreg {

struct Value {
    std::string name;            // "" is the key's default value
    uint32_t type = 0;           // REG_SZ, REG_DWORD, REG_BINARY, ... (any number)
    std::vector<uint8_t> data;   // REG_SZ data includes its terminating NUL
};

struct Key {
    std::string name;            // last path component, case as first written
    std::vector<Value> values;   // in the order they were first written
};

// A whole store: every key by its folded full path ("hkey_local_machine\software").
// A key's ancestors are always present.
struct Store {
    std::map<std::string, Key> keys;
};

// ASCII lower case of text (the folding used for every comparison of names).
std::string fold(const std::string &text);

// Splits a path relative to some key into components. False for an empty component
// (a doubled, leading or - apart from one - trailing backslash). "" gives no components.
bool split_path(const std::string &path, std::vector<std::string> *components);

// Key lookup by full path as the user writes it ("HKEY_LOCAL_MACHINE\Software").
Key *find_key(Store &store, const std::string &full_path);
const Key *find_key(const Store &store, const std::string &full_path);
// Creates the key and its missing ancestors; components keep the case given here.
// Returns the key; *created says whether the key itself was new.
Key *create_key(Store &store, const std::string &full_path, bool *created);
// Removes the key and everything below it. False when the key does not exist.
bool delete_tree(Store &store, const std::string &full_path);
// Removes everything below the key, and its values; the key itself stays.
void clear_key(Store &store, const std::string &full_path);
// The full path of a key with every component in its stored case.
std::string display_path(const Store &store, const std::string &folded_path);

Value *find_value(Key &key, const std::string &name);
const Value *find_value(const Key &key, const std::string &name);
// Sets (or adds) a value; an existing value keeps its name's case and position.
void set_value(Key &key, const std::string &name, uint32_t type, const uint8_t *data, size_t size);
bool delete_value(Key &key, const std::string &name);

// Parses the text of a store: UTF-8 or ASCII (a UTF-8 byte-order mark is skipped), or
// UTF-16LE behind its byte-order mark as regedit exports it; the first line may also be the
// old "REGEDIT4". On failure returns false and sets *error to
// "line N: reason"; *store is then unspecified.
bool parse(const uint8_t *text, size_t size, Store *store, std::string *error);
// The text of a store; parse(write(s)) gives s back.
std::string write(const Store &store);

}  // namespace tavreg
