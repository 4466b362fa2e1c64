// The configuration library's device registration: devices and their memory ranges in the
// device database.
#include "toolkit/DaConfig.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_db.h"

namespace {

DASTATUS finish(const std::string &call, DASTATUS status) {
    toolkit_record(call + " = " + std::to_string(status));
    return status;
}

DASTATUS no_device(const char *device) {
    toolkit_set_detail(DA_ERR_NO_DEVICE, std::string("device \"") + device + "\"");
    return DA_ERR_NO_DEVICE;
}

}  // namespace

DASTATUS RegDeleteDevice(const char *device_name) {
    std::string call = "RegDeleteDevice(" + toolkit_quote(device_name) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("RegDeleteDevice", &status, &option)) return finish(call, status);
    if (!tavdb::valid_name(device_name)) return finish(call, DA_ERR_BAD_ARGUMENT);
    status = tavdb::delete_tree(tavdb::device_key(device_name), DA_ERR_NO_DEVICE);
    if (status == DA_ERR_NO_DEVICE) no_device(device_name);
    return finish(call, status);
}

DASTATUS RegAddIsaDevice(const char *device_name, uint32_t bus_number, uint32_t flags, uint32_t interface_type,
                         const char *description, uint32_t irq, uint32_t options, uint32_t dma, uint32_t reserved) {
    std::string call = "RegAddIsaDevice(" + toolkit_quote(device_name) + ", " + std::to_string(bus_number) + ", " +
                       std::to_string(flags) + ", " + std::to_string(interface_type) + ", " +
                       toolkit_quote(description) + ", " + std::to_string(irq) + ", " + std::to_string(options) +
                       ", " + std::to_string(dma) + ", " + std::to_string(reserved) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("RegAddIsaDevice", &status, &option)) return finish(call, status);
    if (!tavdb::valid_name(device_name)) return finish(call, DA_ERR_BAD_ARGUMENT);
    // The device's own version: 1.0 for every device this toolkit registers.
    tavdb::KeyWriter writer(tavdb::device_key(device_name));
    writer.dword("Version", 1)
        .dword("Revision", 0)
        .text("Description", description == nullptr ? "" : description)
        .dword("BusNumber", bus_number)
        .dword("Flags", flags)
        .dword("InterfaceType", interface_type)
        .dword("Irq", irq)
        .dword("Options", options)
        .dword("Dma", dma)
        .dword("Reserved", reserved);
    return finish(call, writer.status());
}

DASTATUS RegAddMemoryRange(const char *device_name, const char *range_name, uint32_t bus_number, uint32_t range_index,
                           uint32_t base, uint32_t length, uint32_t base_high, uint32_t access, uint32_t reserved) {
    std::string call = "RegAddMemoryRange(" + toolkit_quote(device_name) + ", " + toolkit_quote(range_name) + ", " +
                       std::to_string(bus_number) + ", " + std::to_string(range_index) + ", " + std::to_string(base) +
                       ", " + std::to_string(length) + ", " + std::to_string(base_high) + ", " +
                       std::to_string(access) + ", " + std::to_string(reserved) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("RegAddMemoryRange", &status, &option)) return finish(call, status);
    if (!tavdb::valid_name(device_name) || !tavdb::valid_name(range_name)) return finish(call, DA_ERR_BAD_ARGUMENT);
    // A range must have bytes and must not run past the end of a 32-bit bus address.
    if (length == 0 || (base_high == 0 && static_cast<uint64_t>(base) + length > 0x100000000ull)) {
        return finish(call, DA_ERR_BAD_ARGUMENT);
    }
    status = tavdb::key_exists(tavdb::device_key(device_name), DA_ERR_NO_DEVICE);
    if (status == DA_ERR_NO_DEVICE) no_device(device_name);
    if (status != DA_STATUS_OK) return finish(call, status);
    tavdb::KeyWriter writer(tavdb::range_key(device_name, range_name));
    writer.dword("Base", base)
        .dword("Length", length)
        .dword("BusNumber", bus_number)
        .dword("Index", range_index)
        .dword("BaseHigh", base_high)
        .dword("Access", access)
        .dword("Reserved", reserved);
    return finish(call, writer.status());
}
