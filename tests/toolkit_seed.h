// Test helpers for everything that runs against the driver toolkit stand-in:
//   TempTavHome   a fresh temporary TAV_HOME for the life of the object (the registry store
//                 and the default model board live there), the old value restored after.
//   seed_registry writes $TAV_HOME/registry.reg as the installer leaves it for the loader:
//                 the class driver service "agentcd", device "TAV", its range "TAV" at
//                 0xD0000, 0x8000 bytes. Each part can be left out or changed.
//   read_file / write_file  whole-file helpers.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TempTavHome {
  public:
    TempTavHome() {
        const char *old = getenv("TAV_HOME");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        std::string pattern = (std::filesystem::temp_directory_path() / "tav-home-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
        setenv("TAV_HOME", path_.c_str(), 1);
    }
    ~TempTavHome() {
        if (had_old_) setenv("TAV_HOME", old_.c_str(), 1);
        else unsetenv("TAV_HOME");
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempTavHome(const TempTavHome &) = delete;
    TempTavHome &operator=(const TempTavHome &) = delete;

    // "" when the directory could not be made.
    const std::string &path() const { return path_; }
    std::string registry() const { return path_ + "/registry.reg"; }
    std::string board() const { return path_ + "/board.img"; }

  private:
    std::string path_;
    std::string old_;
    bool had_old_ = false;
};

struct RegistrySeed {
    bool service = true;          // System\CurrentControlSet\Services\agentcd
    bool device = true;           // Software\NuMega\DriverAgent\Devices\TAV
    bool range = true;            // ...\Devices\TAV\MemoryRanges\TAV
    uint32_t base = 0xD0000;
    uint32_t length = 0x8000;
};

// The store text for a seed, in the registry export format.
inline std::string registry_seed_text(const RegistrySeed &seed = RegistrySeed()) {
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    if (seed.service) {
        text += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\agentcd]\n"
                "\"DisplayName\"=\"DriverAgent Class Driver\"\n"
                "\"ImagePath\"=\"c:\\\\winnt\\\\system32\\\\agentcd.sys\"\n"
                "\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n\n";
    }
    if (seed.device) {
        text += "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV]\n"
                "\"Version\"=dword:00000001\n\"Revision\"=dword:00000000\n"
                "\"Description\"=\"Tarsek9 ORVEX Update Board\"\n\n";
    }
    if (seed.device && seed.range) {
        char range[256];
        std::snprintf(range, sizeof range,
                      "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV]\n"
                      "\"Base\"=dword:%08x\n\"Length\"=dword:%08x\n\"FastIo\"=dword:00000001\n\n",
                      seed.base, seed.length);
        text += range;
    }
    return text;
}

inline bool write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes $TAV_HOME/registry.reg for the seed; false when it cannot be written.
inline bool seed_registry(const RegistrySeed &seed = RegistrySeed()) {
    const char *home = getenv("TAV_HOME");
    if (home == nullptr || home[0] == '\0') return false;
    return write_file(std::string(home) + "/registry.reg", registry_seed_text(seed));
}
