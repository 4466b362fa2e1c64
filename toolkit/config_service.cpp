// The configuration library's service installation: records a kernel driver service.
#include "toolkit/DaConfig.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_db.h"

namespace {

constexpr uint32_t kKernelDriver = 1;    // service type
constexpr uint32_t kDemandStart = 3;     // start type when none is given (-1)
constexpr uint32_t kDisabled = 4;        // the highest start type
constexpr uint32_t kNormalErrors = 1;    // error control

}  // namespace

DASTATUS InstallDeviceService(const char *service_name, const char *display_name, const char *image_path,
                              int32_t start_type) {
    std::string call = "InstallDeviceService(" + toolkit_quote(service_name) + ", " + toolkit_quote(display_name) +
                       ", " + toolkit_quote(image_path) + ", " + std::to_string(start_type) + ")";
    DASTATUS status;
    std::string option;
    if (toolkit_fail_requested("InstallDeviceService", &status, &option)) {
        toolkit_record(call + " = " + std::to_string(status));
        return status;
    }
    status = DA_STATUS_OK;
    if (!tavdb::valid_name(service_name) || image_path == nullptr || image_path[0] == '\0' ||
        (start_type >= 0 && static_cast<uint32_t>(start_type) > kDisabled) || start_type < -1) {
        status = DA_ERR_BAD_ARGUMENT;
    }
    if (status == DA_STATUS_OK) {
        tavdb::KeyWriter writer(tavdb::service_key(service_name));
        writer.text("DisplayName", display_name == nullptr ? service_name : display_name)
            .text("ImagePath", image_path)
            .dword("Type", kKernelDriver)
            .dword("Start", start_type < 0 ? kDemandStart : static_cast<uint32_t>(start_type))
            .dword("ErrorControl", kNormalErrors);
        status = writer.status();
    }
    toolkit_record(call + " = " + std::to_string(status));
    return status;
}
