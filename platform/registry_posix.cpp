// The Windows registry calls on POSIX, over the text store of platform/reg_file.h.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/protected_path.h"
#include "platform/reg_file.h"
#include "platform/registry_store.h"
#include "platform/tav_home.h"
#include "platform/win32.h"

namespace {

constexpr const char kRootName[] = "HKEY_LOCAL_MACHINE";
constexpr int kLockWaitMs = 10000;   // bound on waiting for another process's lock
constexpr size_t kMaxNameLength = 255;
constexpr int kTemporaryNameTries = 16;   // fresh names tried when one is taken already

struct OpenKey {
    std::string path;   // full path, e.g. "HKEY_LOCAL_MACHINE\Software\NuMega"
    REGSAM sam;
};

std::mutex handle_mutex;
std::map<uintptr_t, OpenKey> open_keys;
uintptr_t next_handle = 0x1000;

std::atomic<bool> reads_guarded{false};
std::mutex refusal_mutex;
std::string latest_refusal;   // why the latest guarded read was refused, "" when it was not

void set_refusal(const std::string &text) {
    std::lock_guard<std::mutex> guard(refusal_mutex);
    latest_refusal = text;
}

bool is_predefined(HKEY key) { return key == HKEY_LOCAL_MACHINE; }

// The full path and access rights behind a handle.
bool resolve(HKEY key, std::string *path, REGSAM *sam) {
    if (is_predefined(key)) {
        *path = kRootName;
        *sam = KEY_ALL_ACCESS;
        return true;
    }
    std::lock_guard<std::mutex> guard(handle_mutex);
    auto it = open_keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == open_keys.end()) return false;
    *path = it->second.path;
    *sam = it->second.sam;
    return true;
}

HKEY new_handle(const std::string &path, REGSAM sam) {
    std::lock_guard<std::mutex> guard(handle_mutex);
    uintptr_t id = next_handle;
    next_handle += 4;
    open_keys[id] = OpenKey{path, sam};
    return reinterpret_cast<HKEY>(id);
}

bool name_ok(const std::string &name) {
    if (name.size() > kMaxNameLength) return false;
    return name.find_first_of("\r\n") == std::string::npos;
}

// The full path of sub_key under base; ERROR_SUCCESS or ERROR_BAD_PATHNAME.
LONG join_path(const std::string &base, LPCSTR sub_key, std::string *full) {
    std::vector<std::string> parts;
    if (!tavreg::split_path(sub_key == nullptr ? "" : sub_key, &parts)) return ERROR_BAD_PATHNAME;
    *full = base;
    for (const std::string &part : parts) {
        if (!name_ok(part)) return ERROR_BAD_PATHNAME;
        *full += '\\';
        *full += part;
    }
    return ERROR_SUCCESS;
}

// The path of the key behind `key` (into *base) and of sub_key under it (into *full).
LONG sub_key_path(HKEY key, LPCSTR sub_key, std::string *base, std::string *full) {
    REGSAM sam;
    if (!resolve(key, base, &sam)) return ERROR_INVALID_HANDLE;
    return join_path(*base, sub_key, full);
}

// One locked session with the store: read (and parse) at open, write back on commit.
class StoreSession {
  public:
    ~StoreSession() {
        if (lock_fd_ >= 0) {
            flock(lock_fd_, LOCK_UN);
            close(lock_fd_);
        }
    }

    // Takes the lock (shared for reading, exclusive for a change) and loads the store.
    LONG open(bool exclusive) {
        path_ = registry_store_path();
        if (path_.empty()) {
            std::fprintf(stderr, "registry: no state folder for the registry store (set TAV_HOME)\n");
            return ERROR_CANTOPEN;
        }
        std::string lock_path = path_ + ".lock";
        lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (lock_fd_ < 0) {
            std::fprintf(stderr, "registry: cannot open the lock file %s: %s\n", lock_path.c_str(),
                         std::strerror(errno));
            return ERROR_CANTOPEN;
        }
        int mode = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
        int waited = 0;
        while (flock(lock_fd_, mode) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                std::fprintf(stderr, "registry: cannot lock %s: %s\n", lock_path.c_str(), std::strerror(errno));
                return ERROR_CANTOPEN;
            }
            if (waited >= kLockWaitMs) {
                std::fprintf(stderr, "registry: %s stayed locked by another process for %d s\n", lock_path.c_str(),
                             kLockWaitMs / 1000);
                return ERROR_SHARING_VIOLATION;
            }
            usleep(5000);
            waited += 5;
        }
        return load();
    }

    tavreg::Store &store() { return store_; }

    // Rewrites the whole store: a new file beside it, flushed, then renamed over it. The new
    // file is made exclusively under a fresh name, so nothing planted there is written through.
    LONG commit() {
        static std::atomic<unsigned> serial{0};
        std::string text = tavreg::write(store_);
        std::random_device random;
        std::string temp;
        int fd = -1;
        for (int attempt = 0; attempt < kTemporaryNameTries && fd < 0; attempt++) {
            temp = path_ + ".tmp." + std::to_string(getpid()) + "." + std::to_string(serial++) + "." +
                   std::to_string(random());
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            std::fprintf(stderr, "registry: cannot write %s: %s\n", temp.c_str(), std::strerror(errno));
            return ERROR_CANTWRITE;
        }
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        bool ok = done == text.size() && fsync(fd) == 0;
        int saved = errno;
        if (close(fd) != 0) ok = false;
        if (ok && rename(temp.c_str(), path_.c_str()) != 0) {
            saved = errno;
            ok = false;
        }
        if (!ok) {
            unlink(temp.c_str());
            std::fprintf(stderr, "registry: cannot write %s: %s\n", path_.c_str(), std::strerror(saved));
            return ERROR_CANTWRITE;
        }
        return ERROR_SUCCESS;
    }

  private:
    LONG load() {
        std::vector<uint8_t> bytes;
        bool present = false;
        LONG rc = reads_guarded ? read_guarded(&bytes, &present) : read_by_path(&bytes, &present);
        if (rc != ERROR_SUCCESS || !present) return rc;   // no store yet: an empty registry
        std::string error;
        if (!tavreg::parse(bytes.data(), bytes.size(), &store_, &error)) {
            std::fprintf(stderr, "registry: %s cannot be parsed (%s); it is left unchanged\n", path_.c_str(),
                         error.c_str());
            store_.keys.clear();
            return ERROR_BADDB;
        }
        return ERROR_SUCCESS;
    }

    // The store's bytes by its path; *present false when there is none.
    LONG read_by_path(std::vector<uint8_t> *bytes, bool *present) {
        FILE *file = std::fopen(path_.c_str(), "rb");
        if (file == nullptr) {
            if (errno == ENOENT) return ERROR_SUCCESS;
            std::fprintf(stderr, "registry: cannot read %s: %s\n", path_.c_str(), std::strerror(errno));
            return ERROR_CANTREAD;
        }
        uint8_t chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
        bool failed = std::ferror(file) != 0;
        std::fclose(file);
        if (failed) {
            std::fprintf(stderr, "registry: cannot read %s\n", path_.c_str());
            return ERROR_CANTREAD;
        }
        *present = true;
        return ERROR_SUCCESS;
    }

    // The store's bytes through the one descriptor it was judged by; *present as above.
    LONG read_guarded(std::vector<uint8_t> *bytes, bool *present) {
        int fd = -1;
        std::string problem;
        int opened = open_protected(path_, &fd, &problem);
        set_refusal(opened < 0 ? problem : std::string());
        if (opened < 0) return ERROR_ACCESS_DENIED;
        if (opened == 0) return ERROR_SUCCESS;   // none, and nobody else can put one there
        uint8_t chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            bytes->insert(bytes->end(), chunk, chunk + n);
        }
        close(fd);
        if (n < 0) {
            std::fprintf(stderr, "registry: cannot read %s\n", path_.c_str());
            return ERROR_CANTREAD;
        }
        *present = true;
        return ERROR_SUCCESS;
    }

    std::string path_;
    int lock_fd_ = -1;
    tavreg::Store store_;
};

// The key behind a handle in a loaded store; the predefined root always exists.
tavreg::Key *key_in(tavreg::Store &store, const std::string &path) {
    tavreg::Key *key = tavreg::find_key(store, path);
    if (key == nullptr && path == kRootName) key = tavreg::create_key(store, path, nullptr);
    return key;
}

// The paths of a key and its sub key (as sub_key_path), and the store loaded under its lock.
LONG open_sub_key(HKEY key, LPCSTR sub_key, bool exclusive, StoreSession *session, std::string *base,
                  std::string *full) {
    LONG rc = sub_key_path(key, sub_key, base, full);
    if (rc != ERROR_SUCCESS) return rc;
    return session->open(exclusive);
}

}  // namespace

std::string registry_store_path(void) {
    std::string home = tav_home();
    if (home.empty()) return std::string();
    return home + "/registry.reg";
}

void registry_store_guard(bool on) { reads_guarded = on; }

std::string registry_store_refusal(void) {
    std::lock_guard<std::mutex> guard(refusal_mutex);
    return latest_refusal;
}

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam, PHKEY result) {
    (void)options;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base, full;
    StoreSession session;
    LONG rc = open_sub_key(key, sub_key, false, &session, &base, &full);
    if (rc != ERROR_SUCCESS) return rc;
    if (full != kRootName && tavreg::find_key(session.store(), full) == nullptr) return ERROR_FILE_NOT_FOUND;
    *result = new_handle(full, sam);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR class_name, DWORD options, REGSAM sam,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
    (void)reserved;
    (void)class_name;
    (void)options;
    (void)security;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base, full;
    StoreSession session;
    LONG rc = open_sub_key(key, sub_key, true, &session, &base, &full);
    if (rc != ERROR_SUCCESS) return rc;
    if (key_in(session.store(), base) == nullptr) return ERROR_KEY_DELETED;
    bool created = false;
    if (tavreg::create_key(session.store(), full, &created) == nullptr) return ERROR_BAD_PATHNAME;
    if (created) {
        rc = session.commit();
        if (rc != ERROR_SUCCESS) return rc;
    }
    if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = new_handle(full, sam);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) {
    (void)reserved;
    std::string path;
    REGSAM sam;
    if (!resolve(key, &path, &sam)) return ERROR_INVALID_HANDLE;
    if ((sam & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
    StoreSession session;
    LONG rc = session.open(false);
    if (rc != ERROR_SUCCESS) return rc;
    tavreg::Key *found = key_in(session.store(), path);
    if (found == nullptr) return ERROR_KEY_DELETED;
    const tavreg::Value *value = tavreg::find_value(*found, value_name == nullptr ? "" : value_name);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = value->type;
    DWORD needed = static_cast<DWORD>(value->data.size());
    if (data_size == nullptr) return ERROR_SUCCESS;
    if (data == nullptr) {
        *data_size = needed;
        return ERROR_SUCCESS;
    }
    if (*data_size < needed) {
        *data_size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0) std::memcpy(data, value->data.data(), needed);
    *data_size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type, const BYTE *data, DWORD data_size) {
    (void)reserved;
    std::string path;
    REGSAM sam;
    if (!resolve(key, &path, &sam)) return ERROR_INVALID_HANDLE;
    if ((sam & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    std::string name = value_name == nullptr ? "" : value_name;
    if (!name_ok(name)) return ERROR_INVALID_PARAMETER;
    if (data == nullptr && data_size != 0) return ERROR_INVALID_PARAMETER;
    StoreSession session;
    LONG rc = session.open(true);
    if (rc != ERROR_SUCCESS) return rc;
    tavreg::Key *found = key_in(session.store(), path);
    if (found == nullptr) return ERROR_KEY_DELETED;
    tavreg::set_value(*found, name, type, data, data_size);
    return session.commit();
}

LONG RegDeleteTreeA(HKEY key, LPCSTR sub_key) {
    std::string base, full;
    StoreSession session;
    LONG rc = open_sub_key(key, sub_key, true, &session, &base, &full);
    if (rc != ERROR_SUCCESS) return rc;
    if (full == base) {
        // No sub key: everything below the key and its values go; the key stays.
        if (key_in(session.store(), base) == nullptr) return ERROR_KEY_DELETED;
        tavreg::clear_key(session.store(), base);
    } else if (!tavreg::delete_tree(session.store(), full)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return session.commit();
}

LONG RegCloseKey(HKEY key) {
    if (is_predefined(key)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> guard(handle_mutex);
    return open_keys.erase(reinterpret_cast<uintptr_t>(key)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
