// The tests' support (no GoogleTest in here): temporary folders, whole files, the TAV_*
// environment, and programs run as processes through the build's one process runner.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/process_runner.h"

extern char **environ;

namespace tavtest {

// A fresh temporary folder, removed at the end.
class TempDir {
  public:
    TempDir() : path_((std::filesystem::temp_directory_path() / "tav-test-XXXXXX").string()) {
        if (mkdtemp(path_.data()) == nullptr) path_.clear();
    }
    virtual ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // "" when the folder could not be made.
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string registry() const { return file("registry.reg"); }
    std::string board() const { return file("board.img"); }

  private:
    std::string path_;
};

// TAV_HOME (the registry store and the default model board) points at the folder while it lives; no test
// depends on a TAV_HOME of its caller, so none is set afterwards.
class TempHome : public TempDir {
  public:
    TempHome() { setenv("TAV_HOME", path().c_str(), 1); }
    ~TempHome() override { unsetenv("TAV_HOME"); }
};

// The whole file; "" when it cannot be read.
inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// true when all bytes were written.
inline bool write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

// `text` with every `mark` replaced by `by`.
inline std::string replaced(std::string text, const std::string &mark, const std::string &by) {
    size_t at = text.find(mark);
    while (at != std::string::npos) {
        text.replace(at, mark.size(), by);
        at = text.find(mark, at + by.size());
    }
    return text;
}

// The parts of `text` between the `separator`s (none when `text` is empty).
inline std::vector<std::string> split(const std::string &text, const std::string &separator) {
    std::vector<std::string> parts;
    if (text.empty()) return parts;
    size_t at = 0;
    for (size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + separator.size())
        parts.push_back(text.substr(at, end - at));
    parts.push_back(text.substr(at));
    return parts;
}

struct Process {
    std::string program;
    std::vector<std::string> args;   // after the program name
    std::string dir;                 // working folder; also receives the capture files
    std::vector<std::string> env;    // "NAME=value" over this process's environment less its TAV_*
};
inline tavtools::ProcessOutcome run_process(const Process &p) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        if (std::string(*e).rfind("TAV_", 0) != 0) env.push_back(*e);
    env.insert(env.end(), p.env.begin(), p.env.end());
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    return tavtools::run_program(p.program, p.args, {p.dir, p.dir, envp.data()});
}

}  // namespace tavtest
