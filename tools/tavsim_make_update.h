// `tavsim make-update DIR GAME# [options]`: writes a consistent update set.
#pragma once

// argv[0] is "make-update". Returns the process exit status (0 ok, 1 failure, 2 usage).
int tavsim_make_update(int argc, char **argv);
