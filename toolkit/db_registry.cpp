// Registry access of the device database, shared by both toolkit libraries.
#include <cstring>

#include "platform/win32.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_db.h"

#if !defined(_WIN32)
#include "platform/registry_store.h"
#endif

namespace tavdb {

const char kToolkitKey[] = "Software\\NuMega\\DriverAgent";
const char kServicesKey[] = "System\\CurrentControlSet\\Services";
const char kClassDriver[] = "agentcd";

namespace {

constexpr size_t kMaxName = 64;

// The status for a registry error other than "not found".
DASTATUS database_status(LONG error, const std::string &path, bool writing) {
#if !defined(_WIN32)
    // A guarded read refused the store itself: it is not safe from other users.
    std::string refusal = error == ERROR_ACCESS_DENIED ? registry_store_refusal() : std::string();
    if (!refusal.empty()) {
        toolkit_set_detail(DA_ERR_DATABASE_UNSAFE, refusal);
        return DA_ERR_DATABASE_UNSAFE;
    }
#endif
    DASTATUS status = writing ? DA_ERR_DATABASE_WRITE : DA_ERR_DATABASE;
    toolkit_set_detail(status, "HKEY_LOCAL_MACHINE\\" + path + " (Windows error " + std::to_string(error) + ")");
    return status;
}

}  // namespace

std::string device_key(const std::string &device) { return std::string(kToolkitKey) + "\\Devices\\" + device; }

std::string range_key(const std::string &device, const std::string &range) {
    return device_key(device) + "\\MemoryRanges\\" + range;
}

std::string service_key(const std::string &service) { return std::string(kServicesKey) + "\\" + service; }

bool valid_name(const char *name) {
    if (name == nullptr) return false;
    size_t length = std::strlen(name);
    if (length == 0 || length > kMaxName) return false;
    return std::strpbrk(name, "\\\r\n") == nullptr;
}

DASTATUS key_exists(const std::string &path, DASTATUS missing) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return missing;
    if (rc != ERROR_SUCCESS) return database_status(rc, path, false);
    RegCloseKey(key);
    return DA_STATUS_OK;
}

DASTATUS read_dword(const std::string &path, const char *value, uint32_t *out, DASTATUS missing) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return missing;
    if (rc != ERROR_SUCCESS) return database_status(rc, path, false);
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    rc = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_MORE_DATA) return missing;
    if (rc != ERROR_SUCCESS) return database_status(rc, path, false);
    if (type != REG_DWORD || size != sizeof data) return missing;
    *out = data;
    return DA_STATUS_OK;
}

KeyWriter::KeyWriter(const std::string &path) : path_(path) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        status_ = database_status(rc, path_, rc != ERROR_BADDB && rc != ERROR_CANTREAD);
        return;
    }
    key_ = key;
}

KeyWriter::~KeyWriter() {
    if (key_ != nullptr) RegCloseKey(static_cast<HKEY>(key_));
}

KeyWriter &KeyWriter::dword(const char *name, uint32_t value) {
    if (status_ != DA_STATUS_OK) return *this;
    DWORD data = value;
    LONG rc = RegSetValueExA(static_cast<HKEY>(key_), name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data),
                             sizeof data);
    if (rc != ERROR_SUCCESS) status_ = database_status(rc, path_, rc != ERROR_BADDB && rc != ERROR_CANTREAD);
    return *this;
}

KeyWriter &KeyWriter::text(const char *name, const char *value) {
    if (status_ != DA_STATUS_OK) return *this;
    // Stored with its terminator, as the registry keeps texts.
    LONG rc = RegSetValueExA(static_cast<HKEY>(key_), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                             static_cast<DWORD>(std::strlen(value) + 1));
    if (rc != ERROR_SUCCESS) status_ = database_status(rc, path_, rc != ERROR_BADDB && rc != ERROR_CANTREAD);
    return *this;
}

DASTATUS delete_tree(const std::string &path, DASTATUS missing) {
    LONG rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    if (rc == ERROR_FILE_NOT_FOUND) return missing;
    if (rc != ERROR_SUCCESS) return database_status(rc, path, rc != ERROR_BADDB && rc != ERROR_CANTREAD);
    return DA_STATUS_OK;
}

}  // namespace tavdb
