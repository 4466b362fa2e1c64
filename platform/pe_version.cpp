#include "platform/pe_version.h"

namespace tavpe {
namespace {

// Little-endian reads; every caller has checked that the bytes lie inside the buffer.
uint16_t u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes. 64-bit sums of
// 32-bit numbers cannot wrap.
bool inside(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

constexpr uint32_t rt_version = 16;
constexpr uint32_t version_info_name = 1;  // the resource name of VS_VERSION_INFO
constexpr uint32_t subdirectory_flag = 0x80000000u;
constexpr size_t dos_header_size = 64;
constexpr size_t coff_header_size = 20;
constexpr size_t section_header_size = 40;
constexpr size_t directory_header_size = 16;
constexpr size_t directory_entry_size = 8;
constexpr size_t data_entry_size = 16;
constexpr uint16_t pe32_magic = 0x10B;
constexpr uint16_t pe32_plus_magic = 0x20B;
constexpr unsigned resource_directory_index = 2;

struct Image {
    const uint8_t *data;
    size_t size;
    size_t sections;       // file offset of the section table
    unsigned section_count;
};

// The file offset of the bytes at [rva, rva + length) of the loaded image, when they lie
// inside the file data of one section. *available: bytes of that section's file data from
// rva on.
bool map_rva(const Image &image, uint32_t rva, uint64_t length, uint64_t *offset, uint64_t *available) {
    for (unsigned i = 0; i < image.section_count; ++i) {
        const uint8_t *header = image.data + image.sections + static_cast<size_t>(i) * section_header_size;
        uint32_t virtual_size = u32(header + 8);
        uint32_t virtual_address = u32(header + 12);
        uint32_t raw_size = u32(header + 16);
        uint32_t raw_pointer = u32(header + 20);
        // Only the part of the file data that is loaded counts: beyond the virtual size the
        // image holds zeros, not the file's bytes.
        uint64_t span = raw_size;
        if (virtual_size != 0 && virtual_size < span) span = virtual_size;
        if (rva < virtual_address || rva - virtual_address >= span) continue;
        uint64_t start = static_cast<uint64_t>(raw_pointer) + (rva - virtual_address);
        uint64_t left = span - (rva - virtual_address);
        if (start >= image.size) return false;
        if (left > image.size - start) left = image.size - start;
        if (length > left) return false;
        *offset = start;
        if (available != nullptr) *available = left;
        return true;
    }
    return false;
}

// The resource directory as it lies in the file: all directory offsets are relative to
// `base` and must stay below `size`.
struct Resources {
    const uint8_t *base;
    uint64_t size;
};

struct Entry {
    uint32_t name;
    uint32_t target;  // offset of a subdirectory (flag set) or of a data entry
};

// Reads the directory at `offset`: its entries after a check that all of them lie inside
// the resources. False when the directory does not fit.
bool read_directory(const Resources &resources, uint64_t offset, uint32_t *count) {
    if (!inside(offset, directory_header_size, resources.size)) return false;
    const uint8_t *header = resources.base + offset;
    uint32_t total = static_cast<uint32_t>(u16(header + 12)) + u16(header + 14);
    if (!inside(offset + directory_header_size, static_cast<uint64_t>(total) * directory_entry_size, resources.size))
        return false;
    *count = total;
    return true;
}

Entry entry_at(const Resources &resources, uint64_t directory, uint32_t index) {
    const uint8_t *p = resources.base + directory + directory_header_size + static_cast<uint64_t>(index) * directory_entry_size;
    return Entry{u32(p), u32(p + 4)};
}

// The entry named `name` in the directory, or (when `fallback_first`) its first entry.
// Fails with no_version_resource when there is none.
Result pick_entry(const Resources &resources, uint64_t directory, uint32_t name, bool fallback_first, Entry *picked) {
    uint32_t count = 0;
    if (!read_directory(resources, directory, &count)) return Result::bad_resource_directory;
    if (count == 0) return Result::no_version_resource;
    for (uint32_t i = 0; i < count; ++i) {
        Entry entry = entry_at(resources, directory, i);
        if (entry.name == name) {
            *picked = entry;
            return Result::ok;
        }
    }
    if (!fallback_first) return Result::no_version_resource;
    *picked = entry_at(resources, directory, 0);
    return Result::ok;
}

// Follows an entry that must lead to a subdirectory; gives the subdirectory's offset.
Result subdirectory_of(const Entry &entry, uint64_t *offset) {
    if ((entry.target & subdirectory_flag) == 0) return Result::bad_resource_directory;
    *offset = entry.target & ~subdirectory_flag;
    return Result::ok;
}

}  // namespace

Result find_fixed_info(const uint8_t *block, size_t size, size_t *fixed_offset) {
    static const char key[] = "VS_VERSION_INFO";
    constexpr size_t header_size = 6;
    constexpr size_t key_bytes = sizeof(key) * 2;  // UTF-16 with its terminator
    constexpr size_t value_offset = (header_size + key_bytes + 3) & ~static_cast<size_t>(3);

    if (block == nullptr || size < header_size) return Result::bad_version_block;
    size_t length = u16(block);
    size_t value_length = u16(block + 2);
    if (length < header_size + key_bytes || length > size) return Result::bad_version_block;
    for (size_t i = 0; i < sizeof(key); ++i) {
        if (u16(block + header_size + 2 * i) != static_cast<uint8_t>(key[i])) return Result::bad_version_block;
    }
    if (value_length < fixed_info_size || !inside(value_offset, fixed_info_size, length)) return Result::bad_fixed_info;
    if (u32(block + value_offset) != fixed_info_signature) return Result::bad_fixed_info;
    *fixed_offset = value_offset;
    return Result::ok;
}

Result find_version_resource(const uint8_t *data, size_t size, VersionResource *found) {
    if (data == nullptr || size < 2 || data[0] != 'M' || data[1] != 'Z') return Result::not_pe;
    if (size < dos_header_size) return Result::truncated;

    uint64_t pe = u32(data + 0x3C);
    if (!inside(pe, 4 + coff_header_size, size)) return Result::truncated;
    if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0) return Result::not_pe;
    const uint8_t *coff = data + pe + 4;
    unsigned section_count = u16(coff + 2);
    uint64_t optional_size = u16(coff + 16);
    uint64_t optional = pe + 4 + coff_header_size;

    if (optional_size < 2) return Result::bad_optional_header;
    if (!inside(optional, optional_size, size)) return Result::truncated;
    uint16_t magic = u16(data + optional);
    uint64_t count_field;
    uint64_t directories;
    if (magic == pe32_magic) {
        count_field = 92;
        directories = 96;
    } else if (magic == pe32_plus_magic) {
        count_field = 108;
        directories = 112;
    } else {
        return Result::bad_optional_header;
    }
    if (!inside(count_field, 4, optional_size)) return Result::bad_optional_header;
    uint32_t directory_count = u32(data + optional + count_field);
    if (directory_count <= resource_directory_index) return Result::no_resources;
    uint64_t resource_field = directories + 8 * resource_directory_index;
    if (!inside(resource_field, 8, optional_size)) return Result::bad_optional_header;
    uint32_t resource_rva = u32(data + optional + resource_field);
    uint32_t resource_size = u32(data + optional + resource_field + 4);
    if (resource_rva == 0 || resource_size == 0) return Result::no_resources;

    uint64_t sections = optional + optional_size;
    if (!inside(sections, static_cast<uint64_t>(section_count) * section_header_size, size))
        return Result::bad_section_table;
    Image image{data, size, static_cast<size_t>(sections), section_count};

    uint64_t resource_offset = 0;
    uint64_t available = 0;
    if (!map_rva(image, resource_rva, directory_header_size, &resource_offset, &available))
        return Result::bad_resource_directory;
    Resources resources{data + resource_offset, available < resource_size ? available : resource_size};

    // Type, name, language: three levels, no more, so a directory that points back at
    // itself cannot make the walk go round.
    Entry type_entry{};
    Result result = pick_entry(resources, 0, rt_version, false, &type_entry);
    if (result != Result::ok) return result;
    uint64_t names = 0;
    if ((result = subdirectory_of(type_entry, &names)) != Result::ok) return result;
    Entry name_entry{};
    if ((result = pick_entry(resources, names, version_info_name, true, &name_entry)) != Result::ok) return result;
    uint64_t languages = 0;
    if ((result = subdirectory_of(name_entry, &languages)) != Result::ok) return result;
    Entry language_entry{};
    if ((result = pick_entry(resources, languages, 0, true, &language_entry)) != Result::ok) return result;
    if ((language_entry.target & subdirectory_flag) != 0) return Result::bad_resource_directory;
    if (!inside(language_entry.target, data_entry_size, resources.size)) return Result::bad_resource_directory;

    const uint8_t *data_entry = resources.base + language_entry.target;
    uint32_t version_rva = u32(data_entry);
    uint32_t version_size = u32(data_entry + 4);
    uint64_t version_offset = 0;
    if (version_size == 0) return Result::bad_version_block;
    if (!map_rva(image, version_rva, version_size, &version_offset, nullptr)) return Result::bad_version_data;

    size_t fixed = 0;
    result = find_fixed_info(data + version_offset, version_size, &fixed);
    if (result != Result::ok) return result;
    const uint8_t *info = data + version_offset + fixed;
    found->offset = static_cast<size_t>(version_offset);
    found->size = version_size;
    found->file_version_ms = u32(info + 8);
    found->file_version_ls = u32(info + 12);
    found->product_version_ms = u32(info + 16);
    found->product_version_ls = u32(info + 20);
    return Result::ok;
}

const char *describe(Result result) {
    switch (result) {
    case Result::ok: return "version resource found";
    case Result::truncated: return "the file ends inside its headers";
    case Result::not_pe: return "not a PE image";
    case Result::bad_optional_header: return "malformed optional header";
    case Result::bad_section_table: return "section table outside the file";
    case Result::no_resources: return "no resource directory";
    case Result::bad_resource_directory: return "malformed resource directory";
    case Result::no_version_resource: return "no version resource";
    case Result::bad_version_data: return "version data outside the file";
    case Result::bad_version_block: return "malformed version block";
    case Result::bad_fixed_info: return "no valid fixed file information";
    }
    return "unknown result";
}

}  // namespace tavpe
