// Test controls of the driver toolkit stand-in, for every program and test that links
// either library.
//
// TAV_TOOLKIT_FAIL   A comma-separated list of toolkit function names. A named function
//                    does nothing and fails: it returns DA_ERR_INJECTED, or the status
//                    given as "Name=N" (any decimal number, e.g. RegAddIsaDevice=-42).
//                    MapMemoryToProcess returns null and writes that status to its status
//                    variable; "MapMemoryToProcess=none" returns null without writing one.
//                    QueryMemRangeInfo=unmappable fills the record but reports the range
//                    as not mappable. Read at every call, so a test may change it between
//                    calls (setenv).
// TAV_TOOLKIT_TRACE  A file to which every toolkit call appends one line, in call order:
//                        Name(arguments) = result
//                    e.g. RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0) = 0
//                         DaOpenDeviceA("TAV", 0) = 0, handle 1
//                         DaCloseMemRange(2) = 0
//                    Texts are quoted; handles and numbers are decimal; MapMemoryToProcess
//                    ends in "= mapped" or "= null, status N" (or "= null").
// TAV_TOOLKIT_MEM_DEVICE   With TAV_BOARD=physical: the file mapped in place of /dev/mem
//                          (an ordinary file laid out like physical memory).
// TAV_TOOLKIT_LOCK_FOLDER  With TAV_BOARD=physical: the folder of the board's lock file in
//                          place of /run/tav.
//                          These two are ignored in a set-uid run and under sudo (SUDO_USER
//                          set): the invoking user must not choose what root maps and writes.
//
// In the process the same lines are also kept by a recorder (toolkit_calls below).
#pragma once

#include <string>
#include <vector>

#include "toolkit/toolkit_status.h"

// The lines recorded in this process since the last toolkit_calls_clear, oldest first.
std::vector<std::string> toolkit_calls(void);
// Only the function names of those lines ("DaCloseMemRange", ...).
std::vector<std::string> toolkit_call_names(void);
void toolkit_calls_clear(void);

// Internal to the stand-in: the control lookups and the recorder's input.

// True when TAV_TOOLKIT_FAIL names `function`; *status gets its status, *option the text
// after "=" when it is not a number ("none", "unmappable"), else "".
bool toolkit_fail_requested(const char *function, DASTATUS *status, std::string *option);
// Records one call line (to the recorder and the TAV_TOOLKIT_TRACE file).
void toolkit_record(const std::string &line);
// A quoted text for a trace line ("null" for a null pointer).
std::string toolkit_quote(const char *text);
// With TAV_BOARD=physical: the device mapped and the folder of the board's lock, from
// TAV_TOOLKIT_MEM_DEVICE and TAV_TOOLKIT_LOCK_FOLDER when they are set and honoured (see
// above), else /dev/mem and /run/tav. (User-mode library only.)
std::string toolkit_mem_device(void);
std::string toolkit_lock_folder(void);

// A failure's detail for the text of its status (the name or file it concerns and the
// reason); DaTranslateErrorMessageA shows the latest detail of a status.
void toolkit_set_detail(DASTATUS status, const std::string &detail);
std::string toolkit_detail(DASTATUS status);
