#include "board/board_file.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include "board/posix_calls_win32.h"
#else
#include <sys/file.h>
#include <sys/mman.h>
#endif

namespace tavboard {

namespace {

const char kMagic[8] = {'T', 'A', 'V', 'B', 'O', 'A', 'R', 'D'};

std::string sys_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

size_t file_size_for(uint32_t game_size, uint32_t sound_size) {
    return size_t(kBoardHeaderSize) + game_size + sound_size;
}

}  // namespace

Fit board_fit(const BoardHeader &h) {
    Fit fit;
    fit.game_size = h.game_size;
    fit.game_block = h.game_block;
    fit.sound_size = h.sound_size;
    fit.board_absent = h.board_absent != 0;
    fit.bus_cycle_ns = h.bus_cycle_ns == 0 ? kDefaultBusCycleNs : h.bus_cycle_ns;
    return fit;
}

uint32_t board_config_check(const BoardHeader &header) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&header) + offsetof(BoardHeader, game_size);
    const uint8_t *end = reinterpret_cast<const uint8_t *>(&header) + offsetof(BoardHeader, config_check);
    uint32_t hash = 2166136261u;
    for (; p < end; p++) {
        hash ^= *p;
        hash *= 16777619u;
    }
    return hash;
}

bool BoardFile::valid_fit(const Fit &fit, std::string *error) {
    if (fit.game_size != 0 && fit.game_size != (4u << 20) && fit.game_size != (8u << 20)) {
        *error = "game flash must be 4 MB or 8 MB";
        return false;
    }
    if (fit.game_block != (32u << 10) && fit.game_block != (64u << 10) && fit.game_block != (128u << 10)) {
        *error = "game flash erase blocks must be 32 KB, 64 KB or 128 KB";
        return false;
    }
    if (fit.sound_size != 0 && fit.sound_size != (256u << 10) && fit.sound_size != (512u << 10) &&
        fit.sound_size != (1u << 20)) {
        *error = "sound flash must be 256 KB, 512 KB, 1 MB or none";
        return false;
    }
    if (fit.bus_cycle_ns < 1 || fit.bus_cycle_ns > 1000000) {
        *error = "a bus cycle must take 1 to 1000000 ns";
        return false;
    }
    return true;
}

BoardFile::~BoardFile() { close(); }

void BoardFile::close() {
    if (map_ != nullptr) munmap(map_, map_size_);
    map_ = nullptr;
    header_ = nullptr;
    map_size_ = 0;
    if (fd_ >= 0) ::close(fd_);  // drops the lock
    fd_ = -1;
}

uint8_t *BoardFile::game_data() const { return map_ + kBoardHeaderSize; }

uint8_t *BoardFile::sound_data() const { return map_ + kBoardHeaderSize + header_->game_size; }

void BoardFile::seal_config() { header_->config_check = board_config_check(*header_); }

bool BoardFile::lock_and_map(int fd, size_t size, std::string *error) {
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        *error = sys_error("cannot map board file", path_);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    map_ = static_cast<uint8_t *>(map);
    map_size_ = size;
    header_ = reinterpret_cast<BoardHeader *>(map_);
    return true;
}

static bool take_lock(int fd, const std::string &path, std::string *error) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK) {
        *error = "board file " + path + " is in use by another process";
    } else {
        *error = sys_error("cannot lock board file", path);
    }
    return false;
}

bool BoardFile::create(const std::string &path, const Fit &fit, bool force, std::string *error) {
    close();
    path_ = path;
    if (!valid_fit(fit, error)) return false;
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (force ? 0 : O_EXCL);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        if (errno == EEXIST) {
            *error = "board file " + path + " already exists (use --force to replace it)";
        } else {
            *error = sys_error("cannot create board file", path);
        }
        return false;
    }
    // Lock before truncating, so that a board another process holds is never clobbered.
    if (!take_lock(fd, path, error)) {
        ::close(fd);
        return false;
    }
    size_t size = file_size_for(fit.game_size, fit.sound_size);
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, off_t(size)) != 0) {
        *error = sys_error("cannot size board file", path);
        ::close(fd);
        return false;
    }
    if (!lock_and_map(fd, size, error)) return false;

    std::memset(map_, 0, kBoardHeaderSize);
    std::memset(map_ + kBoardHeaderSize, 0xFF, size - kBoardHeaderSize);  // erased flash
    BoardHeader &h = *header_;
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kBoardFileVersion;
    h.header_size = kBoardHeaderSize;
    h.game_size = fit.game_size;
    h.game_block = fit.game_block;
    h.sound_size = fit.sound_size;
    h.board_absent = fit.board_absent ? 1 : 0;
    h.timing = uint32_t(Timing::instant);
    h.busy_reads = 2;
    h.bus_cycle_ns = fit.bus_cycle_ns;
    seal_config();
    return true;
}

bool BoardFile::open(const std::string &path, std::string *error) {
    close();
    path_ = path;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = sys_error("cannot open board file", path);
        return false;
    }
    if (!take_lock(fd, path, error)) {
        ::close(fd);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = sys_error("cannot examine board file", path);
        ::close(fd);
        return false;
    }
    auto refuse = [&](const std::string &why) {
        *error = "board file " + path + " " + why + "; it is left as it is";
        ::close(fd);
        return false;
    };
    if (!S_ISREG(st.st_mode)) return refuse("is not a regular file");
    BoardHeader h;
    if (size_t(st.st_size) < sizeof(BoardHeader)) {
        if (st.st_size >= off_t(sizeof kMagic)) {
            char magic[8];
            if (pread(fd, magic, sizeof magic, 0) == ssize_t(sizeof magic) &&
                std::memcmp(magic, kMagic, sizeof kMagic) == 0)
                return refuse("is truncated");
        }
        return refuse("is not a TAV board file");
    }
    if (pread(fd, &h, sizeof h, 0) != ssize_t(sizeof h)) return refuse("cannot be read");
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return refuse("is not a TAV board file");
    if (h.version != kBoardFileVersion && h.version != kBoardFileOldVersion)
        return refuse("has format version " + std::to_string(h.version) + ", this program reads versions " +
                      std::to_string(kBoardFileOldVersion) + " and " + std::to_string(kBoardFileVersion) +
                      " (recreate it with tavsim create --force)");
    if (h.header_size != kBoardHeaderSize) return refuse("is corrupt (bad header size)");
    if (h.config_check != board_config_check(h)) return refuse("is corrupt (configuration checksum mismatch)");
    std::string why;
    if (!valid_fit(board_fit(h), &why)) return refuse("is corrupt (" + why + ")");
    if (h.fault_count > kMaxFaults || h.timing > uint32_t(Timing::bus))
        return refuse("is corrupt (bad configuration)");
    size_t expected = file_size_for(h.game_size, h.sound_size);
    if (size_t(st.st_size) < expected) return refuse("is truncated");
    if (size_t(st.st_size) > expected) return refuse("is corrupt (longer than its fit)");
    if (!lock_and_map(fd, expected, error)) return false;
    header_->version = kBoardFileVersion;
    return true;
}

}  // namespace tavboard
