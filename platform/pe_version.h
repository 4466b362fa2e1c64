// The version resource of a Windows PE image (DLL, driver or executable, 32- or 64-bit),
// found by a pure parser over the bytes of the file: DOS header, PE header, optional header,
// section table, resource directory, RT_VERSION, the VS_VERSIONINFO block and its fixed file
// information. Every offset and count is checked against the buffer, the walk through the
// resource directory has a fixed depth, so a malformed or hostile file is refused with a
// reason and never makes the parser read outside the buffer or run without end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavpe {

enum class Result {
    ok,
    truncated,              // the file ends inside the DOS header, PE header or optional header
    not_pe,                 // no "MZ" or no "PE\0\0" signature
    bad_optional_header,    // unknown optional header magic or a size that does not hold it
    bad_section_table,      // the section table lies outside the file
    no_resources,           // no resource directory in the image
    bad_resource_directory, // a directory, entry or data entry lies outside the resources, or
                            // a directory stands where data is expected (or the other way)
    no_version_resource,    // no RT_VERSION entry
    bad_version_data,       // the version data lies outside the file
    bad_version_block,      // the VS_VERSIONINFO block is malformed
    bad_fixed_info,         // no fixed file information, or its signature is not 0xFEEF04BD
};

// What the parser found in a good image.
struct VersionResource {
    size_t offset = 0;          // file offset of the VS_VERSIONINFO block
    size_t size = 0;            // size of the resource data (the block's own length or more)
    uint32_t file_version_ms = 0;
    uint32_t file_version_ls = 0;
    uint32_t product_version_ms = 0;
    uint32_t product_version_ls = 0;
};

inline constexpr uint32_t fixed_info_signature = 0xFEEF04BDu;
inline constexpr size_t fixed_info_size = 52;

// Finds and checks the version resource of the image in data[0, size).
Result find_version_resource(const uint8_t *data, size_t size, VersionResource *found);

// Checks a VS_VERSIONINFO block of at most `size` bytes (its own length field bounds it
// further) and gives the offset of its fixed file information within the block.
Result find_fixed_info(const uint8_t *block, size_t size, size_t *fixed_offset);

// A short English text for a result, for messages and test output.
const char *describe(Result result);

}  // namespace tavpe
