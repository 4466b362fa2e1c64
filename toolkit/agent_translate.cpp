// DaTranslateErrorMessageA: a text for every status, naming the fix where there is one.
#include "toolkit/DriverAgent.h"
#include "toolkit/installer_name.h"
#include "toolkit/toolkit_controls.h"

namespace {

// "what" is the latest failure's detail when there is one, else a generic subject.
std::string subject(DASTATUS status, const char *generic) {
    std::string detail = toolkit_detail(status);
    return detail.empty() ? generic : detail;
}

// "(run INSTALLER WHEN)", the installer named as a user of this system types it.
std::string run_installer(const char *when) {
    std::string text = "(run ";
    text += installer_command();
    text += " ";
    text += when;
    text += ")";
    return text;
}

std::string text_for(DASTATUS status) {
    switch (status) {
    case DA_STATUS_OK:
        return "the driver toolkit call succeeded";
    case DA_ERR_NOT_INSTALLED:
        return "the driver toolkit is not installed: its class driver service \"agentcd\" is not recorded " +
               run_installer("first");
    case DA_ERR_NOT_CONNECTED:
        return "no connection to the driver toolkit is open";
    case DA_ERR_NO_DEVICE:
        return subject(status, "the device") + " is not registered with the driver toolkit " + run_installer("first");
    case DA_ERR_NO_RANGE:
        return subject(status, "the memory range") + " is not registered with the driver toolkit " +
               run_installer("first");
    case DA_ERR_BAD_HANDLE:
        return "the device or memory range handle is not open";
    case DA_ERR_BAD_ARGUMENT:
        return "a driver toolkit call was given a bad argument (a null pointer, an empty or too long name, "
               "or a zero length)";
    case DA_ERR_DATABASE:
        return "the driver toolkit's device database cannot be read at " + subject(status, "its registry keys") +
               " (the registry store could not be read; repair or remove it and run " + installer_command() +
               " again)";
    case DA_ERR_DATABASE_WRITE:
        return "the driver toolkit's device database cannot be written at " + subject(status, "its registry keys");
    case DA_ERR_BAD_RANGE_ENTRY:
        return "the device database entry " + subject(status, "of the memory range") +
               " lacks its 4-byte \"Base\" or \"Length\" value " + run_installer("again");
    case DA_ERR_RANGE_TOO_SMALL:
        return subject(status, "the memory range") +
               " is too short for the board window and its page registers (0x4004 bytes); "
               "register it with length 0x8000 " + run_installer("again");
    case DA_ERR_BOARD_OPEN:
        return "the model board cannot be opened: " + subject(status, "no reason given") +
               " (make a board with tavsim create, close the program that holds it, or choose another board "
               "file with TAV_BOARD)";
    case DA_ERR_PHYSICAL:
        return "the board's physical memory cannot be mapped: " + subject(status, "no reason given") +
               " (TAV_BOARD=physical needs Linux, root and /dev/mem)";
    case DA_ERR_INJECTED:
        return "a failure asked for by TAV_TOOLKIT_FAIL";
    case DA_ERR_RANGE_NOT_ALLOWED:
        return "the board's physical memory is not mapped: " + subject(status, "the memory range") +
               " " + run_installer("again to register the board's range");
    case DA_ERR_DATABASE_UNSAFE:
        return "the driver toolkit's device database is not protected against other users: " +
               subject(status, "the registry store") +
               "; with TAV_BOARD=physical it and every folder above it must be owned by root and writable only "
               "by their owner";
    case DA_ERR_LOCK_UNSAFE:
        return "the board's lock is not protected against other users: " + subject(status, "its lock file");
    case DA_ERR_BOARD_BUSY:
        return "the board is in use: " + subject(status, "another program holds it") +
               " (wait until that program ends)";
    default:
        return "driver toolkit status " + std::to_string(status) + " (not a status of this toolkit)";
    }
}

}  // namespace

const char *DaTranslateErrorMessageA(DASTATUS status) {
    // The text stays valid until this thread's next call.
    thread_local std::string text;
    text = text_for(status);
    toolkit_record("DaTranslateErrorMessageA(" + std::to_string(status) + ") = " + toolkit_quote(text.c_str()));
    return text.c_str();
}
