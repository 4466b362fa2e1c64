// Hostile update files: a file of the set replaced by a directory, by a FIFO that no one
// writes, cut short in the middle of a chunk, or empty; names with spaces and very long
// paths. Every case ends (a FIFO's open must not wait for a writer) with the message and
// result code of its file, leaves no descriptor open and the board not loaded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "loader_jobs_support.h"
#include "reliability_support.h"

namespace {

using namespace jobs_test;

UpdateSetOptions small_set() {
    UpdateSetOptions o;
    o.im_flsh0_bytes = 20000;
    o.game_bytes = 40000;
    o.symbols_bytes = 12000;
    o.tavboot_bytes = 20000;
    return o;
}

enum class Damage { directory, fifo, truncate, empty };

struct FileCase {
    const char *name;
    const char *file;       // base name of the damaged file
    Damage damage;
    uint32_t keep;          // bytes kept by truncate
    int code;
    // The expected standard error for the damaged file's full name and its size on disk.
    std::function<std::string(const std::string &name, long long size)> err;
};

std::string wrong_size(const std::string &name, long long size, unsigned want) {
    return fmt("tavload: file (%s) present but wrong size %lld != %u\n", name.c_str(), size, want);
}
std::string read_failed(const std::string &name, const char *why) {
    return "\ntavload: unable to read file (" + name + ") - " + why + "\n";
}
const char *const kIsDir = "Is a directory";
const char *const kEof = "unexpected end of file";

const FileCase kFileCases[] = {
    // sf.rom is checked by its size before it is opened.
    {"SoundImageIsDirectory", "sf.rom", Damage::directory, 0, 7,
     [](const std::string &n, long long s) { return wrong_size(n, s, 1048576); }},
    {"SoundImageIsFifo", "sf.rom", Damage::fifo, 0, 7,
     [](const std::string &n, long long s) { return wrong_size(n, s, 1048576); }},
    {"SoundImageCutMidChunk", "sf.rom", Damage::truncate, 1048576 - 5000, 7,
     [](const std::string &n, long long s) { return wrong_size(n, s, 1048576); }},
    {"SoundImageEmpty", "sf.rom", Damage::empty, 0, 7,
     [](const std::string &n, long long s) { return wrong_size(n, s, 1048576); }},
    // bootdata.rom is read once: a directory fails the read, a FIFO reads as empty.
    {"BootDataIsDirectory", "bootdata.rom", Damage::directory, 0, 13,
     [](const std::string &n, long long) { return read_failed(n, kIsDir); }},
    {"BootDataIsFifo", "bootdata.rom", Damage::fifo, 0, 14,
     [](const std::string &n, long long) { return "\ntavload: file (" + n + ") is not 32768 bytes\n"; }},
    {"BootDataCutShort", "bootdata.rom", Damage::truncate, 20001, 14,
     [](const std::string &n, long long) { return "\ntavload: file (" + n + ") is not 32768 bytes\n"; }},
    {"BootDataEmpty", "bootdata.rom", Damage::empty, 0, 14,
     [](const std::string &n, long long) { return "\ntavload: file (" + n + ") is not 32768 bytes\n"; }},
    // The images are read chunk by chunk up to their declared sizes.
    {"ImFlsh0IsDirectory", "im_flsh0.rom", Damage::directory, 0, 20,
     [](const std::string &n, long long) { return read_failed(n, kIsDir); }},
    {"ImFlsh0IsFifo", "im_flsh0.rom", Damage::fifo, 0, 20,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"ImFlsh0CutMidChunk", "im_flsh0.rom", Damage::truncate, 12001, 20,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"ImFlsh0Empty", "im_flsh0.rom", Damage::empty, 0, 20,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"GameIsDirectory", "game.rom", Damage::directory, 0, 23,
     [](const std::string &n, long long) { return read_failed(n, kIsDir); }},
    {"GameIsFifo", "game.rom", Damage::fifo, 0, 23,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"GameCutMidChunk", "game.rom", Damage::truncate, 30002, 23,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"GameEmpty", "game.rom", Damage::empty, 0, 23,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"SymbolsIsDirectory", "symbols.rom", Damage::directory, 0, 26,
     [](const std::string &n, long long) { return read_failed(n, kIsDir); }},
    {"SymbolsIsFifo", "symbols.rom", Damage::fifo, 0, 26,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"SymbolsCutMidChunk", "symbols.rom", Damage::truncate, 8195, 26,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"SymbolsEmpty", "symbols.rom", Damage::empty, 0, 26,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    // tavboot.rom may be short (zero fill follows) but not empty, and must be readable.
    {"TavbootIsDirectory", "tavboot.rom", Damage::directory, 0, 30,
     [](const std::string &n, long long) { return read_failed(n, kIsDir); }},
    {"TavbootIsFifo", "tavboot.rom", Damage::fifo, 0, 30,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
    {"TavbootEmpty", "tavboot.rom", Damage::empty, 0, 30,
     [](const std::string &n, long long) { return read_failed(n, kEof); }},
};

class HostileFileTest : public LoaderJobsTest, public testing::WithParamInterface<FileCase> {};

TEST_P(HostileFileTest, EndsWithTheFilesMessageAndCode) {
    const FileCase &c = GetParam();
    std::string dir = make_set(small_set());
    std::string path = dir + "/" + c.file;
    ASSERT_EQ(unlink(path.c_str()), 0);
    switch (c.damage) {
        case Damage::directory: ASSERT_EQ(mkdir(path.c_str(), 0755), 0); break;
        case Damage::fifo: ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << std::strerror(errno); break;
        case Damage::empty: ASSERT_TRUE(std::ofstream(path).good()); break;
        case Damage::truncate: {
            std::vector<uint8_t> bytes = tavtools::update_file_bytes(small_set(), [&] {
                for (UpdateFile f : {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game,
                                     UpdateFile::symbols, UpdateFile::sound, UpdateFile::tavboot})
                    if (std::string(tavtools::update_file_base(f)) == c.file) return f;
                return UpdateFile::bootdata;
            }());
            ASSERT_LT(c.keep, bytes.size());
            std::ofstream out(path, std::ios::binary);
            out.write(reinterpret_cast<const char *>(bytes.data()), c.keep);
            ASSERT_TRUE(out.good());
            break;
        }
    }
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);

    int fds = reliability_test::open_descriptors();
    RunResult r;
    {
        reliability_test::WallClockGuard guard(c.name, 60);
        r = run({"-p" + dir, "40215"});
    }
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.err, c.err(path, static_cast<long long>(info.st_size)));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(reliability_test::open_descriptors(), fds) << "a file was left open";

    RunResult status = run({"-status"});
    EXPECT_EQ(status.code, 34);
    EXPECT_EQ(status.err, kNotLoaded);
}

INSTANTIATE_TEST_SUITE_P(DamagedUpdateFiles, HostileFileTest, testing::ValuesIn(kFileCases),
                         [](const testing::TestParamInfo<FileCase> &info) { return std::string(info.param.name); });

// An image that arrives in pieces (a FIFO fed by a writer, as from a pipe or a slow network
// file system): reads come back short and at odd lengths. The record's checksum must still
// be the sum of the bytes in the flash, and a short read of tavboot.rom is not its end.
// (sf.rom is sized before it is read, so a FIFO cannot stand in for it.)
class PiecewiseFileTest : public LoaderJobsTest, public testing::WithParamInterface<const char *> {};

TEST_P(PiecewiseFileTest, ShortReadsAtOddLengthsStillGiveTheRightRecord) {
    UpdateSetOptions o = small_set();
    std::string dir = make_set(o);
    const std::string base = GetParam();
    UpdateFile which = UpdateFile::im_flsh0;
    for (UpdateFile f : {UpdateFile::im_flsh0, UpdateFile::game, UpdateFile::symbols, UpdateFile::tavboot})
        if (base == tavtools::update_file_base(f)) which = f;
    std::vector<uint8_t> bytes = tavtools::update_file_bytes(o, which);
    std::string path = dir + "/" + base;
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    // A reader that stops early must show as a wrong board, not end this program.
    signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) return;
        size_t done = 0;
        size_t piece = 1001;
        while (done < bytes.size()) {
            size_t n = std::min(piece, bytes.size() - done);
            if (write(fd, bytes.data() + done, n) != static_cast<ssize_t>(n)) break;
            done += n;
            piece = piece == 1001 ? 4099 : 1001;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(fd);
    });
    RunResult r;
    {
        reliability_test::WallClockGuard guard("piecewise " + base, 60);
        r = run({"-p" + dir, "40215"});
    }
    // A load that never opened the file leaves the writer waiting for a reader: give it one.
    int release = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    if (release >= 0) close(release);
    EXPECT_EQ(r.code, 0) << r.err;
    expect_board_loaded(o, LoadShape{});
}

INSTANTIATE_TEST_SUITE_P(ImagesFromAWriter, PiecewiseFileTest, testing::Values("im_flsh0.rom", "game.rom", "symbols.rom", "tavboot.rom"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// Names: a path and a prefix with spaces, a full name far beyond 255 characters, and one
// beyond what the system takes at all.
class FileNameTest : public LoaderJobsTest {};

TEST_F(FileNameTest, SpacesInPathAndPrefixLoad) {
    UpdateSetOptions o = small_set();
    o.prefix = "new set ";
    std::string dir = make_set(o, "update files with spaces");
    RunResult r = run({"-p" + dir, "-f" + o.prefix, "40215"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_board_loaded(o, LoadShape{});
    // A file missing there is named whole, spaces included.
    ASSERT_EQ(unlink((dir + "/new set game.rom").c_str()), 0);
    r = run({"-p" + dir, "-f" + o.prefix, "40215"});
    EXPECT_EQ(r.code, 22);
    EXPECT_EQ(r.err, "\ntavload: unable to open file (" + dir + "/new set game.rom) - No such file or directory\n");
}

TEST_F(FileNameTest, FullNamesLongerThan255CharactersLoad) {
    UpdateSetOptions o = small_set();
    std::string relative;
    for (int i = 0; i < 6; i++) relative += (i ? "/" : "") + std::string(50, char('a' + i));
    std::string dir = make_set(o, relative);
    ASSERT_GT(dir.size() + std::strlen("/bootdata.rom"), 300u);
    RunResult r = run({"-p" + dir, "40215"});
    EXPECT_EQ(r.code, 0) << r.err;
    expect_board_loaded(o, LoadShape{});
}

TEST_F(FileNameTest, NamesTheSystemRefusesFailAtTheOpen) {
    // A path of 5000 characters: no file of that name can exist, so sf.rom counts as
    // absent and bootdata.rom fails to open, with the system's reason.
    std::string dir = "/" + std::string(5000, 'x');
    int fds = reliability_test::open_descriptors();
    RunResult r = run({"-p" + dir, "40215"});
    EXPECT_EQ(r.code, 12);
    EXPECT_EQ(r.err, "\ntavload: unable to open file (" + dir + "/bootdata.rom) - File name too long\n");
    EXPECT_EQ(reliability_test::open_descriptors(), fds);
    EXPECT_EQ(run({"-status"}).code, 34);
}

}  // namespace
