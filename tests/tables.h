// Tables and stored outputs of the tests in tests/data: rows read by field name, and expected
// outputs that scripts/record writes again (TAV_RECORD set) so that a deliberate change of an
// output is one command and a diff to review.
#pragma once

#include <cctype>
#include <map>
#include <ostream>
#include <set>

#include "tests/support.h"

namespace tavtest {

// One row of a table: a line of "key=value" fields split by " | ". A failing check names the
// row by `where` (file and line).
class Row {
  public:
    std::string where;
    std::map<std::string, std::string> fields;

    bool has(const std::string &key) const {
        read_.insert(key);
        return fields.count(key) != 0;
    }
    // The field's text with \n, \t and \\ made the characters they stand for; "" when absent.
    std::string text(const std::string &key) const {
        read_.insert(key);
        const auto field = fields.find(key);
        if (field == fields.end()) return "";
        const std::string &value = field->second;
        std::string out;
        for (size_t i = 0; i < value.size(); i++) {
            const bool escaped = value[i] == '\\' && i + 1 < value.size();
            if (escaped) i++;
            if (escaped && value[i] == 'n') out += '\n';
            else if (escaped && value[i] == 't') out += '\t';
            else out += value[i];
        }
        return out;
    }
    // The field as a number (decimal, or hexadecimal after 0x); `absent` when the row has none.
    long long number(const std::string &key, long long absent = 0) const {
        const std::string value = text(key);
        if (value.empty()) return absent;
        return std::stoll(value, nullptr, 0);
    }
    // The keys the test never asked for, space separated ("" when none): a misspelt key.
    std::string unread() const {
        std::string keys;
        for (const auto &field : fields) {
            if (read_.count(field.first) != 0) continue;
            if (!keys.empty()) keys += " ";
            keys += field.first;
        }
        return keys;
    }

  private:
    mutable std::set<std::string> read_;
};

// How a test framework shows a row (a parameterised case's value): where it stands and its name.
inline void PrintTo(const Row &row, std::ostream *out) {
    *out << row.where << " " << row.text("name");
}

// The rows of tests/data/<name>: every line but blank ones and comments ("#").
inline std::vector<Row> read_rows(const std::string &name) {
    std::vector<Row> rows;
    std::istringstream lines(read_file(TAV_SOURCE_DIR "/tests/data/" + name));
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        number++;
        if (line.empty() || line[0] == '#') continue;
        Row row;
        row.where = name + ":" + std::to_string(number);
        for (const std::string &field : split(line, " | ")) {
            const size_t equals = field.find('=');
            row.fields[field.substr(0, equals)] = equals == std::string::npos ? "" : field.substr(equals + 1);
        }
        rows.push_back(row);
    }
    return rows;
}

// A row's name (its "name" field) as a test name: letters and digits, other runs as "_".
inline std::string row_test_name(const Row &row) {
    std::string name;
    for (char c : row.text("name")) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += c;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    return name;
}

// The stored expected output tests/data/<name> to compare `seen` with. With TAV_RECORD set
// (scripts/record) `seen` is written there first.
inline std::string stored_output(const std::string &name, const std::string &seen) {
    const std::string path = TAV_SOURCE_DIR "/tests/data/" + name;
    const char *record = getenv("TAV_RECORD");
    if (record != nullptr && record[0] != '\0') write_file(path, seen);
    return read_file(path);
}

}  // namespace tavtest
