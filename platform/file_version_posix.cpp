// File version resources of PE images named by Windows paths: the size of a file's version
// information, a copy of it, and the fixed file information in it (the root block "\").
// Other blocks (string tables, translations) are not served.
#include "platform/win32.h"

#include "platform/pe_version.h"
#include "platform/win_path.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace {

// No driver or DLL of the toolkit comes near this; a larger file is not read into memory.
constexpr uintmax_t largest_image = 256u * 1024u * 1024u;

// Reads the whole file into *bytes; a Windows error code on failure.
DWORD read_image(LPCSTR file_name, std::vector<uint8_t> *bytes) {
    std::string path = native_path(file_name);
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        std::filesystem::path parent = std::filesystem::path(path).parent_path();
        if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) return ERROR_PATH_NOT_FOUND;
        return ERROR_FILE_NOT_FOUND;
    }
    // Directories, devices and pipes are not images (and a pipe must not block the read).
    if (ec || status.type() != std::filesystem::file_type::regular) return ERROR_ACCESS_DENIED;
    uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) return ERROR_ACCESS_DENIED;
    if (size > largest_image) return ERROR_NOT_ENOUGH_MEMORY;
    std::ifstream file(path, std::ios::binary);
    if (!file) return ERROR_ACCESS_DENIED;
    bytes->resize(static_cast<size_t>(size));
    if (size > 0 && !file.read(reinterpret_cast<char *>(bytes->data()), static_cast<std::streamsize>(size)))
        return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

DWORD error_for(tavpe::Result result) {
    switch (result) {
    case tavpe::Result::ok: return ERROR_SUCCESS;
    case tavpe::Result::truncated:
    case tavpe::Result::not_pe:
    case tavpe::Result::bad_optional_header:
    case tavpe::Result::bad_section_table: return ERROR_BAD_EXE_FORMAT;
    case tavpe::Result::no_resources: return ERROR_RESOURCE_DATA_NOT_FOUND;
    case tavpe::Result::no_version_resource: return ERROR_RESOURCE_TYPE_NOT_FOUND;
    case tavpe::Result::bad_resource_directory:
    case tavpe::Result::bad_version_data:
    case tavpe::Result::bad_version_block:
    case tavpe::Result::bad_fixed_info: return ERROR_INVALID_DATA;
    }
    return ERROR_INVALID_DATA;
}

// Reads the file and finds its version resource; a Windows error code on failure.
DWORD load_version(LPCSTR file_name, std::vector<uint8_t> *bytes, tavpe::VersionResource *found) {
    if (file_name == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD error = read_image(file_name, bytes);
    if (error != ERROR_SUCCESS) return error;
    return error_for(tavpe::find_version_resource(bytes->data(), bytes->size(), found));
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR file_name, LPDWORD handle) {
    if (handle != nullptr) *handle = 0;
    std::vector<uint8_t> bytes;
    tavpe::VersionResource found;
    DWORD error = load_version(file_name, &bytes, &found);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    return static_cast<DWORD>(found.size);
}

// The version information is copied only whole: a buffer smaller than the size given by
// GetFileVersionInfoSizeA fails with ERROR_INSUFFICIENT_BUFFER.
BOOL GetFileVersionInfoA(LPCSTR file_name, DWORD, DWORD size, LPVOID data) {
    if (data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<uint8_t> bytes;
    tavpe::VersionResource found;
    DWORD error = load_version(file_name, &bytes, &found);
    if (error == ERROR_SUCCESS && size < found.size) error = ERROR_INSUFFICIENT_BUFFER;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    std::memcpy(data, bytes.data() + found.offset, found.size);
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR sub_block, LPVOID *buffer, PUINT length) {
    if (block == nullptr || sub_block == nullptr || buffer == nullptr || std::strcmp(sub_block, "\\") != 0)
        return FALSE;
    // The block bounds itself by its own length field.
    const uint8_t *bytes = static_cast<const uint8_t *>(block);
    size_t block_size = static_cast<size_t>(bytes[0] | (bytes[1] << 8));
    size_t fixed = 0;
    if (tavpe::find_fixed_info(bytes, block_size, &fixed) != tavpe::Result::ok) return FALSE;
    *buffer = const_cast<uint8_t *>(bytes + fixed);
    if (length != nullptr) *length = static_cast<UINT>(tavpe::fixed_info_size);
    return TRUE;
}
