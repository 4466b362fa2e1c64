// Whether a run acts for a user other than the one whose rights it holds. POSIX only.
#pragma once

// True in a set-uid run (the real and effective users differ) and in a run started through
// sudo (SUDO_USER set): the environment then comes from another user than the one whose
// rights the program uses, so no variable of it may choose what the program touches with
// those rights (a home folder, a device, a lock).
bool acting_for_another_user(void);
