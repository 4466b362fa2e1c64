// The device database of the driver toolkit stand-in, kept in the registry under
// HKEY_LOCAL_MACHINE (both libraries read and write it through these helpers):
//
//   Software\NuMega\DriverAgent\Devices\<device>
//       "Version"=dword:1, "Revision"=dword:0, "Description"="...", "BusNumber",
//       "Flags", "InterfaceType" (1: ISA), "Irq", "Options", "Dma", "Reserved" (4-byte values)
//   Software\NuMega\DriverAgent\Devices\<device>\MemoryRanges\<range>
//       "Base", "Length", "BusNumber", "Index", "BaseHigh", "Access", "Reserved"
//       (4-byte values); the installer adds "FastIo" itself
//   System\CurrentControlSet\Services\<service>
//       "DisplayName", "ImagePath" (texts), "Type"=dword:1 (kernel driver),
//       "Start" (3, on demand, unless given), "ErrorControl"=dword:1
//
// The toolkit's own "Version"/"Revision" under Software\NuMega\DriverAgent belong to the
// toolkit's setup; nothing here writes them.
#pragma once

#include <cstdint>
#include <string>

#include "toolkit/toolkit_status.h"

namespace tavdb {

extern const char kToolkitKey[];      // Software\NuMega\DriverAgent
extern const char kServicesKey[];     // System\CurrentControlSet\Services
extern const char kClassDriver[];     // agentcd

std::string device_key(const std::string &device);
std::string range_key(const std::string &device, const std::string &range);
std::string service_key(const std::string &service);

// A device, range or service name: non-empty, at most 64 characters, no backslash and no
// line break.
bool valid_name(const char *name);

// Statuses of these helpers: DA_STATUS_OK, `missing` for a key or value that is not there,
// DA_ERR_DATABASE / DA_ERR_DATABASE_WRITE when the registry cannot be read or written
// (with a detail naming the key).
DASTATUS key_exists(const std::string &path, DASTATUS missing);
DASTATUS read_dword(const std::string &path, const char *value, uint32_t *out, DASTATUS missing);

// Writes a key's values: creates the key (and its parents), then sets each value.
class KeyWriter {
  public:
    explicit KeyWriter(const std::string &path);
    ~KeyWriter();
    KeyWriter(const KeyWriter &) = delete;
    KeyWriter &operator=(const KeyWriter &) = delete;
    KeyWriter &dword(const char *name, uint32_t value);
    KeyWriter &text(const char *name, const char *value);
    // DA_STATUS_OK, or DA_ERR_DATABASE_WRITE / DA_ERR_DATABASE for the first failure.
    DASTATUS status() const { return status_; }

  private:
    std::string path_;
    void *key_ = nullptr;
    DASTATUS status_ = DA_STATUS_OK;
};

// Removes a key and everything below it: DA_STATUS_OK, `missing`, or a database status.
DASTATUS delete_tree(const std::string &path, DASTATUS missing);

}  // namespace tavdb
