// Generator of update sets with deterministic pseudo-random contents.
#include "tools/update_set.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tavtools {

namespace {

// splitmix64: small, fast and good enough to make every byte of every file differ between
// files, seeds and positions.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    void fill(std::vector<uint8_t> &bytes) {
        for (size_t i = 0; i < bytes.size(); i += 8) {
            uint64_t v = next();
            for (size_t k = 0; k < 8 && i + k < bytes.size(); k++) bytes[i + k] = static_cast<uint8_t>(v >> (8 * k));
        }
    }

  private:
    uint64_t state_;
};

void put_word(std::vector<uint8_t> &bytes, uint32_t offset, uint32_t value) {
    if (offset + 4 > bytes.size()) return;
    for (uint32_t k = 0; k < 4; k++) bytes[offset + k] = static_cast<uint8_t>(value >> (8 * k));
}

std::vector<uint8_t> random_bytes(uint64_t seed, UpdateFile file, size_t size) {
    std::vector<uint8_t> bytes(size);
    Random random(seed * 0x100000001B3ull + static_cast<uint64_t>(file) + 1);
    random.fill(bytes);
    return bytes;
}

}  // namespace

const char *update_file_base(UpdateFile file) {
    switch (file) {
        case UpdateFile::bootdata: return "bootdata.rom";
        case UpdateFile::im_flsh0: return "im_flsh0.rom";
        case UpdateFile::game: return "game.rom";
        case UpdateFile::symbols: return "symbols.rom";
        case UpdateFile::sound: return "sf.rom";
        case UpdateFile::tavboot: return "tavboot.rom";
    }
    return "";
}

std::string check_update_set(const UpdateSetOptions &o) {
    if (o.im_flsh0_bytes % 4 != 0 || o.game_bytes % 4 != 0 || o.symbols_bytes % 4 != 0) {
        return "image sizes must be multiples of 4 bytes";
    }
    uint64_t end = uint64_t{kImagesOffset} + o.im_flsh0_bytes + o.game_bytes + o.symbols_bytes;
    if (end > kImagesEnd) {
        return "the images end at " + std::to_string(end) + ", beyond " + std::to_string(kImagesEnd) +
               " where the information record starts";
    }
    if (o.tavboot_bytes > kTavbootBytes) return "tavboot.rom must hold at most 32768 bytes";
    if (o.game_number > 0x7FFFFFFFu) return "the game number does not fit BootData";
    if (o.sound_bytes != kSoundImageBytes || o.bootdata_bytes != kBootDataBytes || o.bootdata_game_id ||
        o.declared_im_flsh0_longs || o.declared_game_longs || o.declared_symbols_longs) {
        return "the set has deliberate faults";
    }
    return "";
}

std::vector<uint8_t> update_file_bytes(const UpdateSetOptions &o, UpdateFile file) {
    switch (file) {
        case UpdateFile::bootdata: {
            std::vector<uint8_t> bytes = random_bytes(o.seed, file, o.bootdata_bytes);
            put_word(bytes, kBootImFlsh0Longs, o.declared_im_flsh0_longs.value_or(o.im_flsh0_bytes / 4));
            put_word(bytes, kBootGameId, static_cast<uint32_t>(o.bootdata_game_id.value_or(static_cast<int32_t>(o.game_number))));
            put_word(bytes, kBootVersionMajor, static_cast<uint32_t>(o.version_major));
            put_word(bytes, kBootVersionMinor, static_cast<uint32_t>(o.version_minor));
            put_word(bytes, kBootGameLongs, o.declared_game_longs.value_or(o.game_bytes / 4));
            put_word(bytes, kBootSymbolsLongs, o.declared_symbols_longs.value_or(o.symbols_bytes / 4));
            return bytes;
        }
        case UpdateFile::im_flsh0: return random_bytes(o.seed, file, o.im_flsh0_bytes);
        case UpdateFile::game: return random_bytes(o.seed, file, o.game_bytes);
        case UpdateFile::symbols: return random_bytes(o.seed, file, o.symbols_bytes);
        case UpdateFile::sound: {
            if (o.sound_period == 0 || o.sound_period >= o.sound_bytes) return random_bytes(o.seed, file, o.sound_bytes);
            std::vector<uint8_t> period = random_bytes(o.seed, file, o.sound_period);
            std::vector<uint8_t> bytes(o.sound_bytes);
            for (size_t i = 0; i < bytes.size(); i++) bytes[i] = period[i % period.size()];
            return bytes;
        }
        case UpdateFile::tavboot: return random_bytes(o.seed, file, o.tavboot_bytes);
    }
    return {};
}

bool write_update_set(const std::string &dir, const UpdateSetOptions &o, std::string *error) {
    if (!o.unchecked) {
        std::string problem = check_update_set(o);
        if (!problem.empty()) {
            if (error) *error = problem;
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        if (error) *error = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    const UpdateFile files[] = {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game,
                                UpdateFile::symbols,  UpdateFile::sound,    UpdateFile::tavboot};
    for (UpdateFile file : files) {
        std::filesystem::path path = std::filesystem::path(dir) / (o.prefix + update_file_base(file));
        if (file == UpdateFile::sound && !o.sound) {
            std::filesystem::remove(path, ec);   // a set without sound has no sf.rom at all
            continue;
        }
        std::vector<uint8_t> bytes = update_file_bytes(o, file);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            if (error) *error = "cannot write " + path.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace tavtools
