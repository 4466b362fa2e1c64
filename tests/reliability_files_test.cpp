// Hostile update files: each file of the set missing, replaced by a directory, by a FIFO
// that no one writes, cut short in the middle of a chunk, or empty; images that arrive in pieces; names
// with spaces and very long paths. Every case ends (a FIFO's open must not wait for a
// writer) with the message and result code of its file, leaves no descriptor open and the
// board not loaded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
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

enum class Damage { missing, directory, fifo, truncate, empty };
const char *const kDamageNames[] = {"Missing", "IsDirectory", "IsFifo", "CutShort", "Empty"};

// One file of the set: the codes of a failed open, of a failed read of a directory and of
// any other failed read, and the bytes a cut keeps (0: a short file is allowed).
const struct SetFile {
    const char *name;
    UpdateFile file;
    int open_code, directory_code, code;
    uint32_t keep;
} kSetFiles[] = {
    {"SoundImage", UpdateFile::sound, 0, 7, 7, 1048576 - 5000},   // sized before it is opened; may be absent
    {"BootData", UpdateFile::bootdata, 12, 13, 14, 32767},        // read once, a FIFO reads as empty
    {"ImFlsh0", UpdateFile::im_flsh0, 19, 20, 20, 12001},
    {"Game", UpdateFile::game, 22, 23, 23, 30002},
    {"Symbols", UpdateFile::symbols, 25, 26, 26, 8195},
    {"Tavboot", UpdateFile::tavboot, 29, 30, 30, 0},              // may be short or empty
};

struct FileCase {
    const SetFile *file;
    Damage damage;
};

std::vector<FileCase> file_cases() {
    std::vector<FileCase> cases;
    for (const SetFile &f : kSetFiles)
        for (Damage d : {Damage::missing, Damage::directory, Damage::fifo, Damage::truncate, Damage::empty})
            if ((d == Damage::missing || d == Damage::directory || f.keep != 0) &&
                (d != Damage::missing || f.open_code != 0))
                cases.push_back({&f, d});
    return cases;
}

// The expected standard error for the damaged file's full name and its size on disk.
std::string expected_err(const FileCase &c, const std::string &name, long long size) {
    if (c.file->file == UpdateFile::sound)
        return fmt("tavload: file (%s) present but wrong size %lld != 1048576\n", name.c_str(), size);
    if (c.damage == Damage::missing) return "\ntavload: unable to open file (" + name + ") - No such file or directory\n";
    if (c.damage == Damage::directory) return "\ntavload: unable to read file (" + name + ") - Is a directory\n";
    if (c.file->file == UpdateFile::bootdata) return "\ntavload: file (" + name + ") is not 32768 bytes\n";
    return "\ntavload: unable to read file (" + name + ") - unexpected end of file\n";
}

class HostileFileTest : public LoaderJobsTest, public testing::WithParamInterface<FileCase> {};

TEST_P(HostileFileTest, EndsWithTheFilesMessageAndCode) {
    const FileCase &c = GetParam();
    put_record(sealed_record(1, 1, 11111));   // the old record a load must remove first
    std::string dir = make_set(small_set());
    std::string path = dir + "/" + tavtools::update_file_base(c.file->file);
    std::vector<uint8_t> bytes = tavtools::update_file_bytes(small_set(), c.file->file);
    ASSERT_EQ(unlink(path.c_str()), 0);
    switch (c.damage) {
        case Damage::missing: break;
        case Damage::directory: ASSERT_EQ(mkdir(path.c_str(), 0755), 0); break;
        case Damage::fifo: ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << std::strerror(errno); break;
        case Damage::empty: ASSERT_TRUE(std::ofstream(path).good()); break;
        case Damage::truncate:
            ASSERT_LT(c.file->keep, bytes.size());
            ASSERT_TRUE(std::ofstream(path, std::ios::binary)
                            .write(reinterpret_cast<const char *>(bytes.data()), c.file->keep)
                            .good());
            break;
    }
    struct stat info = {};
    ASSERT_EQ(stat(path.c_str(), &info), c.damage == Damage::missing ? -1 : 0);

    int fds = reliability_test::open_descriptors();
    RunResult r;
    {
        reliability_test::WallClockGuard guard(path, 60);
        r = run({"-p" + dir, "40215"});
    }
    EXPECT_EQ(r.code, c.damage == Damage::missing     ? c.file->open_code
                      : c.damage == Damage::directory ? c.file->directory_code
                                                      : c.file->code);
    EXPECT_EQ(r.err, expected_err(c, path, static_cast<long long>(info.st_size)));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(reliability_test::open_descriptors(), fds) << "a file was left open";
    RunResult status = run({"-status"});
    EXPECT_EQ(status.code, 34);
    EXPECT_EQ(status.err, kNotLoaded);
}

INSTANTIATE_TEST_SUITE_P(DamagedUpdateFiles, HostileFileTest, testing::ValuesIn(file_cases()),
                         [](const testing::TestParamInfo<FileCase> &info) {
                             return std::string(info.param.file->name) + kDamageNames[int(info.param.damage)];
                         });

// An image that arrives in pieces (a FIFO fed by a writer, as from a pipe or a slow network
// file system): reads come back short and at odd lengths. The record's checksum must still
// be the sum of the bytes in the flash, and a short read of tavboot.rom is not its end.
// (sf.rom is sized before it is read, so a FIFO cannot stand in for it.)
class PiecewiseFileTest : public LoaderJobsTest, public testing::WithParamInterface<UpdateFile> {};

TEST_P(PiecewiseFileTest, ShortReadsAtOddLengthsStillGiveTheRightRecord) {
    UpdateSetOptions o = small_set();
    std::string dir = make_set(o);
    std::vector<uint8_t> bytes = tavtools::update_file_bytes(o, GetParam());
    std::string path = dir + "/" + tavtools::update_file_base(GetParam());
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    // A reader that stops early must show as a wrong board, not end this program.
    signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) return;
        size_t piece = 1001;
        for (size_t done = 0, n; done < bytes.size(); done += n, piece = piece == 1001 ? 4099 : 1001) {
            n = std::min(piece, bytes.size() - done);
            if (write(fd, bytes.data() + done, n) != static_cast<ssize_t>(n)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(fd);
    });
    RunResult r;
    {
        reliability_test::WallClockGuard guard("piecewise " + path, 60);
        r = run({"-p" + dir, "40215"});
    }
    // A load that never opened the file leaves the writer waiting for a reader: give it one.
    int release = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    if (release >= 0) close(release);
    EXPECT_EQ(r.code, 0) << r.err;
    expect_board_loaded(o, LoadShape{});
}

INSTANTIATE_TEST_SUITE_P(ImagesFromAWriter, PiecewiseFileTest,
                         testing::Values(UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game,
                                         UpdateFile::symbols, UpdateFile::tavboot),
                         [](const testing::TestParamInfo<UpdateFile> &info) {
                             std::string name = tavtools::update_file_base(info.param);
                             return name.substr(0, name.find('.'));
                         });

// tavboot.rom that ends with a full chunk of the copy, or is empty, is zero filled like any
// other short one.
class ShortBootImageTest : public LoaderJobsTest, public testing::WithParamInterface<uint32_t> {};

TEST_P(ShortBootImageTest, IsZeroFilledAndLoads) {
    UpdateSetOptions o = small_set();
    o.tavboot_bytes = GetParam();
    RunResult r = run({"-p" + make_set(o), "40215"});
    EXPECT_EQ(r.code, 0) << r.err;
    expect_board_loaded(o, LoadShape{});
}

INSTANTIATE_TEST_SUITE_P(EndsOnAChunk, ShortBootImageTest, testing::Values(0u, 8192u, 16384u, 24576u));

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
    RunResult r = run({"-debug", "-p" + dir, "40215"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, expected_progress(o, dir, false, false, true));
    expect_board_loaded(o, LoadShape{});
}

TEST_F(FileNameTest, NamesTheSystemRefusesFailAtTheOpen) {
    // A path of 5000 characters: no file of that name can exist, so sf.rom counts as
    // absent and bootdata.rom fails to open, with the system's reason.
    std::string dir = "/" + std::string(5000, 'x');
    put_record(sealed_record(1, 1, 11111));
    int fds = reliability_test::open_descriptors();
    RunResult r = run({"-p" + dir, "40215"});
    EXPECT_EQ(r.code, 12);
    EXPECT_EQ(r.err, "\ntavload: unable to open file (" + dir + "/bootdata.rom) - File name too long\n");
    EXPECT_EQ(reliability_test::open_descriptors(), fds);
    EXPECT_EQ(run({"-status"}).code, 34);
}

}  // namespace
