// The update files of a load, found and checked before the board's information record is
// erased, so that a mistake in the input costs nothing: the board keeps what it held. The
// phases of the load run the same checks again on the files as they find them then, so a
// file that changes during the run still ends it with the board not loaded.
//
// Each check returns 0 (RESULT_OK) or the result code of its first failure after printing
// that failure's one message (the messages of the load's own failure paths).
#pragma once

#include <cstdint>

#include "flash/flash.h"
#include "loader/boot_data.h"

// Every file the load with the run's options will read, in the order the load reads them:
// sf.rom unless -gfonly (skipped when absent, required with -sfonly), bootdata.rom and the
// three game images unless -sfonly, tavboot.rom always. When sf.rom will be written it
// identifies the sound space (8, else 1) to learn the device's size, and writes nothing to
// the board but those identification commands. info_offset must be set.
// 0, or the code of the first failure: 3, 6, 7, 8, 10, 12, 13, 14, 16, 19, 20, 22, 23, 25,
// 26, 28, 29, 30, 35.
int check_load_inputs(void);

// sf.rom: *present 0 when it does not exist (then 0, or 3 with -sfonly); else *present 1
// and it must open and close (10), be a regular file (20) of 1048576 bytes (7).
int check_sound_file(const char *name, int *present);

// sf.rom against the sound device *fsi identified: a boot-block device smaller than the
// space shows up repeatedly through it, so the image must be copies of its first
// device_size bytes. 0 on a device of the space's size; else 10, 20 (the file cannot be
// read through) or 6 (it does not repeat).
int check_sound_fits(const char *name, const FSI *fsi);

// Reads the first 32768 bytes of bootdata.rom into *boot. 0, or 12 (open), 13 (read, or not
// a regular file), 14 (shorter than 32768 bytes).
int read_boot_data(const char *name, BootData *boot);

// BootData read from `name` names the run's game number (else 35) and declares images that
// end at or below info_offset (else 8).
int check_boot_data(const char *name, const BootData *boot);

// The three game images that *boot declares: each opens and closes (19, 22, 25), is a
// regular file (20, 23, 26) and holds at least its declared size (else the read code, as
// the copy would end early).
int check_game_images(const BootData *boot);

// tavboot.rom: opens and closes (29), is a regular file (30) of at most 32768 bytes (28).
int check_boot_image(const char *name);
