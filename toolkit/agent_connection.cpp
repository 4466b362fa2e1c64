// The user-mode library's connection, devices and memory ranges.
#include <algorithm>
#include <cstring>

#include "toolkit/DriverAgent.h"
#include "toolkit/agent_state.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_db.h"

namespace tavagent {

State &state() {
    static State the_state;
    return the_state;
}

}  // namespace tavagent

namespace {

using tavagent::state;

DASTATUS finish(const std::string &call, DASTATUS status) {
    toolkit_record(call + " = " + std::to_string(status));
    return status;
}

// A successful open: the status and the handle written.
DASTATUS opened(const std::string &call, DAHANDLE handle) {
    toolkit_record(call + " = 0, handle " + std::to_string(handle));
    return DA_STATUS_OK;
}

// Closes a range: its mapping ends with it.
void close_range(std::map<DAHANDLE, tavagent::Range>::iterator it) {
    tavagent::unmap_range(it->second);
    state().ranges.erase(it);
}

void close_device_ranges(DAHANDLE device) {
    auto &ranges = state().ranges;
    for (auto it = ranges.begin(); it != ranges.end();) {
        auto next = std::next(it);
        if (it->second.device == device) close_range(it);
        it = next;
    }
}

void put32(uint8_t *record, uint32_t offset, uint32_t value) { std::memcpy(record + offset, &value, sizeof value); }

}  // namespace

DASTATUS DriverAgentOpen(void) {
    const std::string call = "DriverAgentOpen()";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("DriverAgentOpen", &status, &option)) return finish(call, status);
    // With the real board, nothing is read from the database before it is known to be safe.
    status = tavagent::check_physical_database();
    if (status != DA_STATUS_OK) return finish(call, status);
    // The connection goes through the class driver; without its service there is none.
    status = tavdb::key_exists(tavdb::service_key(tavdb::kClassDriver), DA_ERR_NOT_INSTALLED);
    if (status != DA_STATUS_OK) return finish(call, status);
    std::lock_guard<std::mutex> guard(state().mutex);
    ++state().connections;
    return finish(call, DA_STATUS_OK);
}

DASTATUS DriverAgentClose(void) {
    const std::string call = "DriverAgentClose()";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("DriverAgentClose", &status, &option)) return finish(call, status);
    std::lock_guard<std::mutex> guard(state().mutex);
    if (state().connections == 0) return finish(call, DA_ERR_NOT_CONNECTED);
    if (--state().connections == 0) {
        // The last connection takes every device and range still open with it.
        while (!state().ranges.empty()) close_range(state().ranges.begin());
        state().devices.clear();
    }
    return finish(call, DA_STATUS_OK);
}

DASTATUS DaOpenDeviceA(const char *device_name, DAHANDLE *device, uint32_t flags) {
    const std::string call = "DaOpenDeviceA(" + toolkit_quote(device_name) + ", " + std::to_string(flags) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("DaOpenDeviceA", &status, &option)) return finish(call, status);
    if (device == nullptr || !tavdb::valid_name(device_name)) return finish(call, DA_ERR_BAD_ARGUMENT);
    {
        std::lock_guard<std::mutex> guard(state().mutex);
        if (state().connections == 0) return finish(call, DA_ERR_NOT_CONNECTED);
    }
    status = tavdb::key_exists(tavdb::device_key(device_name), DA_ERR_NO_DEVICE);
    if (status == DA_ERR_NO_DEVICE) toolkit_set_detail(status, std::string("device \"") + device_name + "\"");
    if (status != DA_STATUS_OK) return finish(call, status);
    std::lock_guard<std::mutex> guard(state().mutex);
    DAHANDLE handle = state().next_handle++;
    state().devices[handle] = device_name;
    *device = handle;
    return opened(call, handle);
}

DASTATUS DaOpenMemRangeA(DAHANDLE device, const char *range_name, DAHANDLE *range, uint32_t flags) {
    const std::string call = "DaOpenMemRangeA(" + std::to_string(device) + ", " + toolkit_quote(range_name) + ", " +
                             std::to_string(flags) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("DaOpenMemRangeA", &status, &option)) return finish(call, status);
    if (range == nullptr || !tavdb::valid_name(range_name)) return finish(call, DA_ERR_BAD_ARGUMENT);
    std::string device_name;
    {
        std::lock_guard<std::mutex> guard(state().mutex);
        if (state().connections == 0) return finish(call, DA_ERR_NOT_CONNECTED);
        auto it = state().devices.find(device);
        if (it == state().devices.end()) return finish(call, DA_ERR_BAD_HANDLE);
        device_name = it->second;
    }
    std::string key = tavdb::range_key(device_name, range_name);
    status = tavdb::key_exists(key, DA_ERR_NO_RANGE);
    if (status == DA_ERR_NO_RANGE) {
        toolkit_set_detail(status, std::string("memory range \"") + range_name + "\" of device \"" + device_name + "\"");
    }
    if (status != DA_STATUS_OK) return finish(call, status);
    tavagent::Range entry;
    if (tavdb::read_dword(key, "Base", &entry.base, DA_ERR_BAD_RANGE_ENTRY) != DA_STATUS_OK ||
        tavdb::read_dword(key, "Length", &entry.length, DA_ERR_BAD_RANGE_ENTRY) != DA_STATUS_OK) {
        toolkit_set_detail(DA_ERR_BAD_RANGE_ENTRY, "HKEY_LOCAL_MACHINE\\" + key);
        return finish(call, DA_ERR_BAD_RANGE_ENTRY);
    }
    entry.device = device;
    entry.device_name = device_name;
    entry.name = range_name;
    std::lock_guard<std::mutex> guard(state().mutex);
    DAHANDLE handle = state().next_handle++;
    state().ranges.emplace(handle, std::move(entry));
    *range = handle;
    return opened(call, handle);
}

DASTATUS QueryMemRangeInfo(DAHANDLE range, void *info) {
    const std::string call = "QueryMemRangeInfo(" + std::to_string(range) + ")";
    DASTATUS status;
    std::string option;
    bool unmappable = false;
    if (toolkit_fail_requested("QueryMemRangeInfo", &status, &option)) {
        if (option != "unmappable") return finish(call, status);
        unmappable = true;
    }
    if (info == nullptr) return finish(call, DA_ERR_BAD_ARGUMENT);
    std::lock_guard<std::mutex> guard(state().mutex);
    auto it = state().ranges.find(range);
    if (it == state().ranges.end()) return finish(call, DA_ERR_BAD_HANDLE);
    const tavagent::Range &entry = it->second;
    // The record: base, length, mappable flag, high base, device and range handles, then
    // the range's and the device's names; the rest is zero.
    auto *record = static_cast<uint8_t *>(info);
    std::memset(record, 0, MEM_RANGE_INFO_SIZE);
    put32(record, 0, entry.base);
    put32(record, 4, entry.length);
    put32(record, MEM_RANGE_INFO_MAPPABLE_OFFSET, (!unmappable && entry.length >= tavagent::kMappableLength) ? 1 : 0);
    put32(record, 12, 0);
    put32(record, 16, entry.device);
    put32(record, 20, range);
    std::memcpy(record + 24, entry.name.c_str(), std::min<size_t>(entry.name.size(), 31));
    std::memcpy(record + 56, entry.device_name.c_str(), std::min<size_t>(entry.device_name.size(), 31));
    return finish(call, DA_STATUS_OK);
}

DASTATUS DaCloseMemRange(DAHANDLE range) {
    const std::string call = "DaCloseMemRange(" + std::to_string(range) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("DaCloseMemRange", &status, &option)) return finish(call, status);
    std::lock_guard<std::mutex> guard(state().mutex);
    auto it = state().ranges.find(range);
    if (it == state().ranges.end()) return finish(call, DA_ERR_BAD_HANDLE);
    close_range(it);
    return finish(call, DA_STATUS_OK);
}

DASTATUS DaCloseDevice(DAHANDLE device) {
    const std::string call = "DaCloseDevice(" + std::to_string(device) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("DaCloseDevice", &status, &option)) return finish(call, status);
    std::lock_guard<std::mutex> guard(state().mutex);
    auto it = state().devices.find(device);
    if (it == state().devices.end()) return finish(call, DA_ERR_BAD_HANDLE);
    // Ranges still open on the device close with it.
    close_device_ranges(device);
    state().devices.erase(it);
    return finish(call, DA_STATUS_OK);
}
