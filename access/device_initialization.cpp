// The programs' entry: toolkit connection, device and range, window mapping, the program's
// run on the window (tavload: the loader), and the close in reverse order.
#include <cstring>
#include <iostream>

#include "access/access.h"
#include "loader/loader.h"

DAHANDLE device_handle = 0;
DAHANDLE range_handle = 0;

namespace {

// A range that the toolkit will not map, without a status that says why.
void report_unmappable(void) {
    std::cerr << "Error: memory range " << kBoardRangeName << " cannot be mapped" << std::endl;
}

}  // namespace

DASTATUS TAV_STDCALL InitializeTAV(void) {
    DASTATUS status = DriverAgentOpen();
    if (status < 0) return status;
    status = DaOpenDeviceA(kBoardDeviceName, &device_handle, 0);
    if (status < 0) return status;
    return DaOpenMemRangeA(device_handle, kBoardRangeName, &range_handle, 0);
}

DASTATUS TAV_STDCALL UninitializeTAV(void) {
    if (range_handle != 0) DaCloseMemRange(range_handle);
    if (device_handle != 0) DaCloseDevice(device_handle);
    range_handle = 0;
    device_handle = 0;
    return DriverAgentClose();
}

DASTATUS PrepareBoard(void) { return 0; }

DASTATUS ReleaseBoard(void) { return 0; }

void ReportToolkitError(DASTATUS status) {
    const char *text = DaTranslateErrorMessageA(status);
    if (text != nullptr) {
        std::cerr << "Error: " << text << std::endl;
    } else {
        std::cerr << "Error: driver toolkit status " << status << std::endl;
    }
}

void ReportToolkitErrorIn(const char *context, DASTATUS status) {
    const char *text = DaTranslateErrorMessageA(status);
    std::cerr << "Error: " << context << " (";
    if (text != nullptr) {
        std::cerr << text;
    } else {
        std::cerr << "driver toolkit status " << status;
    }
    std::cerr << ")" << std::endl;
}

int RunOnBoardWindow(BoardWindowBody body, int argc, char **argv) {
    DASTATUS status = InitializeTAV();
    if (status < 0) {
        // Nothing is closed here: the process ends with this status.
        ReportToolkitError(status);
        return -1;
    }
    status = PrepareBoard();
    if (status < 0) {
        ReportToolkitErrorIn("DeviceInitialization() failed", status);
        UninitializeTAV();
        return -1;
    }
    int exit_status = -1;
    MemRangeInfo info;
    std::memset(&info, 0, sizeof info);
    DASTATUS query = QueryMemRangeInfo(range_handle, &info);
    if (query < 0) {
        ReportToolkitError(query);
    } else if (info.range_mappable == 0) {
        report_unmappable();
    } else {
        status = 0;
        auto *window = static_cast<uint8_t *>(MapMemoryToProcess(range_handle, &status));
        if (window == nullptr) {
            if (status < 0) {
                ReportToolkitError(status);
            } else {
                report_unmappable();
            }
        } else {
            BindBoardWindow(window);
            int code = body(window, argc, argv);
            UnbindBoardWindow(window);
            exit_status = code >= 0 ? code : -1;
        }
    }
    ReleaseBoard();
    UninitializeTAV();
    return exit_status;
}

int DeviceInitialization(int argc, char **argv, char **envp) {
    (void)envp;
    return RunOnBoardWindow(loader_main, argc, argv);
}
