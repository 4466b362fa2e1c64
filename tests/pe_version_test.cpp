// The version resource parser: real images built with the MinGW tools (32- and 64-bit, with
// and without a version resource), a hand-made image, its broken variants and every
// truncation; and the Windows version calls over files.
#include "platform/pe_version.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using tavpe::Result;
using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string image_path(const std::string &name) { return std::string(TAV_TEST_IMAGE_DIR) + "/" + name + ".dll"; }

// Runs the parser on an exactly sized heap copy, so that a read past the end is caught by
// AddressSanitizer.
Result parse(const Bytes &bytes, tavpe::VersionResource *found = nullptr) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    tavpe::VersionResource local;
    Result result = tavpe::find_version_resource(copy.get(), bytes.size(), found != nullptr ? found : &local);
    if (result == Result::ok) {
        const tavpe::VersionResource &f = found != nullptr ? *found : local;
        EXPECT_LE(f.offset, bytes.size());
        EXPECT_LE(f.size, bytes.size() - f.offset);
    }
    return result;
}

void put16(Bytes &b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A minimal image with one section ".rsrc" holding a version resource 4.2.0.1, laid out by
// hand so that the tests can break each part of it.
struct HandImage {
    static constexpr size_t pe = 0x40;
    static constexpr size_t optional = pe + 24;
    static constexpr size_t raw = 0x200;        // file offset of the resource section
    static constexpr uint32_t va = 0x1000;      // its virtual address
    static constexpr size_t root = raw;
    static constexpr size_t names = raw + 0x18;
    static constexpr size_t languages = raw + 0x30;
    static constexpr size_t data_entry = raw + 0x48;
    static constexpr size_t block = raw + 0x58;
    static constexpr size_t fixed = block + 40;
    static constexpr size_t block_size = 40 + 52;
    static constexpr size_t resource_size = 0x58 + block_size;

    bool plus;
    Bytes bytes;

    size_t optional_size() const { return plus ? 240 : 224; }
    size_t directories() const { return optional + (plus ? 112 : 96); }
    size_t resource_field() const { return directories() + 16; }
    size_t sections() const { return optional + optional_size(); }

    explicit HandImage(bool pe32_plus) : plus(pe32_plus), bytes(raw + resource_size, 0) {
        bytes[0] = 'M';
        bytes[1] = 'Z';
        put32(bytes, 0x3C, pe);
        std::memcpy(&bytes[pe], "PE\0\0", 4);
        put16(bytes, pe + 4, plus ? 0x8664 : 0x14C);
        put16(bytes, pe + 6, 1);
        put16(bytes, pe + 20, static_cast<uint16_t>(optional_size()));
        put16(bytes, optional, plus ? 0x20B : 0x10B);
        put32(bytes, optional + (plus ? 108 : 92), 16);
        put32(bytes, resource_field(), va);
        put32(bytes, resource_field() + 4, resource_size);
        size_t s = sections();
        std::memcpy(&bytes[s], ".rsrc", 5);
        put32(bytes, s + 8, resource_size);
        put32(bytes, s + 12, va);
        put32(bytes, s + 16, resource_size);
        put32(bytes, s + 20, raw);
        // type RT_VERSION -> name 1 -> language 0x409 -> data
        put16(bytes, root + 14, 1);
        put32(bytes, root + 16, 16);
        put32(bytes, root + 20, 0x80000000u | (names - raw));
        put16(bytes, names + 14, 1);
        put32(bytes, names + 16, 1);
        put32(bytes, names + 20, 0x80000000u | (languages - raw));
        put16(bytes, languages + 14, 1);
        put32(bytes, languages + 16, 0x409);
        put32(bytes, languages + 20, static_cast<uint32_t>(data_entry - raw));
        put32(bytes, data_entry, static_cast<uint32_t>(va + (block - raw)));
        put32(bytes, data_entry + 4, block_size);
        put16(bytes, block, block_size);
        put16(bytes, block + 2, 52);
        const char *key = "VS_VERSION_INFO";
        for (size_t i = 0; key[i] != '\0'; ++i) put16(bytes, block + 6 + 2 * i, static_cast<uint8_t>(key[i]));
        put32(bytes, fixed, 0xFEEF04BDu);
        put32(bytes, fixed + 4, 0x10000);
        put32(bytes, fixed + 8, 0x00040002);   // file version 4.2
        put32(bytes, fixed + 12, 0x00000001);  // .0.1
        put32(bytes, fixed + 16, 0x00050006);
        put32(bytes, fixed + 20, 0x00070008);
    }
};

// Real images built with the MinGW tools: the parser and the Windows calls agree on the
// file version; images without a version resource give size 0.
TEST(RealImages, ParserAndWindowsCallsGiveTheFileVersion) {
    struct Case {
        const char *name;
        uint16_t major, minor;   // 0.0: no version resource
    } cases[] = {{"v1_5_x64", 1, 5}, {"v1_15_x86", 1, 15}, {"v2_0_x64", 2, 0}, {"v3_0_x86", 3, 0},
                 {"noversion_x86", 0, 0}, {"noversion_x64", 0, 0}};
    for (const Case &image : cases) {
        SCOPED_TRACE(image.name);
        std::string path = image_path(image.name);
        Bytes bytes = read_file(path);
        ASSERT_GT(bytes.size(), 512u) << path;
        tavpe::VersionResource found;
        Result result = parse(bytes, &found);
        DWORD handle = 77;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        if (image.major == 0) {
            EXPECT_TRUE(result == Result::no_resources || result == Result::no_version_resource)
                << tavpe::describe(result);
            EXPECT_EQ(size, 0u);
            EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
            continue;
        }
        ASSERT_EQ(result, Result::ok);
        EXPECT_EQ(found.file_version_ms, (uint32_t{image.major} << 16) | image.minor);
        EXPECT_EQ(found.file_version_ls, (7u << 16) | 9u);
        EXPECT_EQ(found.product_version_ms, found.file_version_ms);
        // The same through the Windows calls; an absolute path without a drive is used as is.
        ASSERT_EQ(size, found.size);
        EXPECT_EQ(handle, 0u);
        std::vector<uint8_t> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), handle, size, info.data()));
        LPVOID fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &fixed, &length));
        ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        VS_FIXEDFILEINFO fixed_info;
        std::memcpy(&fixed_info, fixed, sizeof(fixed_info));
        EXPECT_EQ(fixed_info.dwFileVersionMS, found.file_version_ms);
        EXPECT_EQ(fixed_info.dwFileVersionLS, found.file_version_ls);
        // Only the root block is served.
        EXPECT_FALSE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &fixed, &length));
        // A buffer one byte short is refused rather than filled in part.
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), handle, size - 1, info.data()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
}

// Hand-made images: both optional header kinds parse; each broken part is refused with its
// reason; every truncation is refused. Random corruption is left to the parser's fuzz target.
TEST(HandImage, BothOptionalHeaderKindsParse) {
    for (bool plus : {false, true}) {
        HandImage image(plus);
        tavpe::VersionResource found;
        ASSERT_EQ(parse(image.bytes, &found), Result::ok) << (plus ? "PE32+" : "PE32");
        EXPECT_EQ(found.offset, HandImage::block);
        EXPECT_EQ(found.size, HandImage::block_size);
        EXPECT_EQ(found.file_version_ms, 0x00040002u);
        EXPECT_EQ(found.file_version_ls, 1u);
        EXPECT_EQ(found.product_version_ls, 0x00070008u);
    }
}

TEST(HandImage, EachBrokenPartIsRefusedWithItsReason) {
    using H = HandImage;
    struct Breakage {
        const char *name;
        std::function<void(H &)> apply;
        Result expected;
    } breakages[] = {
        {"empty", [](H &i) { i.bytes.clear(); }, Result::not_pe},
        {"truncated dos header", [](H &i) { i.bytes.resize(40); }, Result::truncated},
        {"pe offset past the end", [](H &i) { put32(i.bytes, 0x3C, 0xFFFFFFF0u); }, Result::truncated},
        {"bad dos signature", [](H &i) { i.bytes[0] = 'Z'; }, Result::not_pe},
        {"bad pe signature", [](H &i) { i.bytes[H::pe + 1] = 'X'; }, Result::not_pe},
        {"bad optional magic", [](H &i) { put16(i.bytes, H::optional, 0x107); }, Result::bad_optional_header},
        {"optional header too small", [](H &i) { put16(i.bytes, H::pe + 20, 100); }, Result::bad_optional_header},
        {"too few directories", [](H &i) { put32(i.bytes, i.directories() - 4, 2); }, Result::no_resources},
        {"no resource directory", [](H &i) { put32(i.bytes, i.resource_field(), 0); }, Result::no_resources},
        {"section table past the end", [](H &i) { put16(i.bytes, H::pe + 6, 0xFFFF); }, Result::bad_section_table},
        {"resources outside the file", [](H &i) { put32(i.bytes, i.sections() + 20, 0x7FFFFFF0u); },
         Result::bad_resource_directory},
        {"resources outside every section", [](H &i) { put32(i.bytes, i.resource_field(), 0x9000); },
         Result::bad_resource_directory},
        {"entry count too large", [](H &i) { put16(i.bytes, H::root + 14, 0xFFFF); }, Result::bad_resource_directory},
        {"subdirectory outside the resources", [](H &i) { put32(i.bytes, H::root + 20, 0x80000000u | 0x7FFFFF00u); },
         Result::bad_resource_directory},
        {"directory pointing back at the root", [](H &i) { put32(i.bytes, H::names + 20, 0x80000000u); },
         Result::bad_resource_directory},
        {"type entry pointing at itself", [](H &i) { put32(i.bytes, H::root + 20, 0x80000000u); },
         Result::bad_resource_directory},
        {"missing RT_VERSION", [](H &i) { put32(i.bytes, H::root + 16, 3); }, Result::no_version_resource},
        {"empty name directory", [](H &i) { put16(i.bytes, H::names + 14, 0); }, Result::no_version_resource},
        {"type entry leading to data", [](H &i) { put32(i.bytes, H::root + 20, 0x48); },
         Result::bad_resource_directory},
        {"data entry outside the resources", [](H &i) { put32(i.bytes, H::languages + 20, 0xFFF0); },
         Result::bad_resource_directory},
        {"version data past the end", [](H &i) { put32(i.bytes, H::data_entry + 4, 0x10000); },
         Result::bad_version_data},
        {"version data outside every section", [](H &i) { put32(i.bytes, H::data_entry, 0x20000); },
         Result::bad_version_data},
        {"empty version data", [](H &i) { put32(i.bytes, H::data_entry + 4, 0); }, Result::bad_version_block},
        {"block longer than its data", [](H &i) { put16(i.bytes, H::block, H::block_size + 4); },
         Result::bad_version_block},
        {"wrong block key", [](H &i) { i.bytes[H::block + 6] = 'X'; }, Result::bad_version_block},
        {"no fixed info", [](H &i) { put16(i.bytes, H::block + 2, 0); }, Result::bad_fixed_info},
        {"bad fixed info signature", [](H &i) { put32(i.bytes, H::fixed, 0xFEEF04BCu); }, Result::bad_fixed_info},
    };
    for (const Breakage &b : breakages) {
        for (bool plus : {false, true}) {
            HandImage image(plus);
            b.apply(image);
            Result result = parse(image.bytes);
            EXPECT_EQ(result, b.expected) << b.name << (plus ? " (PE32+): " : " (PE32): ") << tavpe::describe(result);
        }
    }
}

TEST(HandImage, EveryTruncationIsRefused) {
    for (bool plus : {false, true}) {
        HandImage image(plus);
        for (size_t size = 0; size < image.bytes.size(); ++size)
            EXPECT_NE(parse(Bytes(image.bytes.begin(), image.bytes.begin() + static_cast<std::ptrdiff_t>(size))),
                      Result::ok)
                << "size " << size;
    }
}

TEST(FixedInfo, VerQueryValueRefusesABadBlock) {
    HandImage image(false);
    Bytes block(image.bytes.begin() + HandImage::block, image.bytes.end());
    LPVOID fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &fixed, &length));
    EXPECT_EQ(static_cast<uint8_t *>(fixed), block.data() + 40);
    put32(block, 40, 0x12345678u);
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\", &fixed, &length));
    put32(block, 40, 0xFEEF04BDu);
    put16(block, 0, 20);  // the block's own length no longer holds the fixed information
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\", &fixed, &length));
}

// The Windows calls on files that are missing, are not images, or are broken images.
TEST(VersionFiles, SizeIsZeroWithTheWindowsErrorOfTheCause) {
    char pattern[] = "/tmp/tav-pe-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    auto write = [&](const char *name, const Bytes &bytes) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    };
    HandImage bad_signature(false);
    put32(bad_signature.bytes, HandImage::fixed, 0);
    HandImage no_version(true);
    put32(no_version.bytes, HandImage::root + 16, 3);
    std::string text = "MZ but nothing else of an image";
    ASSERT_EQ(mkfifo((dir + "/pipe.dll").c_str(), 0600), 0);
    struct Case {
        std::string path;
        DWORD error;
    } cases[] = {
        {dir + "/missing.dll", ERROR_FILE_NOT_FOUND},
        {dir + "/no-such-folder/missing.dll", ERROR_PATH_NOT_FOUND},
        {dir, ERROR_ACCESS_DENIED},
        {dir + "/pipe.dll", ERROR_ACCESS_DENIED},   // refused without blocking on the pipe
        {write("text.dll", Bytes(text.begin(), text.end())), ERROR_BAD_EXE_FORMAT},
        {write("bad-signature.dll", bad_signature.bytes), ERROR_INVALID_DATA},
        {write("no-version.dll", no_version.bytes), ERROR_RESOURCE_TYPE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        DWORD handle = 5;
        EXPECT_EQ(GetFileVersionInfoSizeA(c.path.c_str(), &handle), 0u) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
        uint8_t buffer[256];
        EXPECT_FALSE(GetFileVersionInfoA(c.path.c_str(), 0, sizeof(buffer), buffer)) << c.path;
    }
    std::string good = write("good.dll", HandImage(false).bytes);
    EXPECT_EQ(GetFileVersionInfoSizeA(good.c_str(), nullptr), HandImage::block_size);
    std::filesystem::remove_all(dir);
}

}  // namespace
