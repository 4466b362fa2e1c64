// Programming: erase each unit on its first touch, program through the devices' write
// buffer (or one bus word at a time on a boot-block device), verify by reading back.
#include "flash/board_access.h"
#include "flash/commands.h"
#include "flash/erase_unit.h"
#include "flash/flash.h"
#include "flash/print_error.h"
#include "flash/run_checks.h"
#include "flash/ticks.h"
#include "flash/write_steps.h"

namespace {

constexpr uint32_t kProgramLimit = 10;        // ticks for one program operation
constexpr uint32_t kBufferLimit = 20000;      // ticks for the write buffer to come free
constexpr uint32_t kVerifyPiece = 256;        // bytes read back per window copy

// Stores one device unit (a byte, or a little-endian 16-bit word) of data at window
// offset `at`. false for a width the bus does not have.
bool store_unit(const FSI *fsi, uint32_t at, const uint8_t *data) {
    if (fsi->width == 1) {
        board_write8(board_window, at, data[0]);
        return true;
    }
    if (fsi->width == 2) {
        board_write16(board_window, at, (uint16_t)(data[0] | (data[1] << 8)));
        return true;
    }
    print_error("flash_write(): bad device width (%d)\n", (int)fsi->width);
    return false;
}

}  // namespace

int flash_program_buffer(FSI *fsi, uint32_t offset, uint32_t address, const uint8_t *data, uint32_t length) {
    if (flash_get_write_buffer(fsi, offset) != 1) return -1;
    // Every device is told how many of its units follow, minus one.
    flash_set_mode(fsi, offset, (int)(length / fsi->interleave / fsi->width - 1));
    for (uint32_t position = 0; position < length; position += fsi->width) {
        if (!store_unit(fsi, address + position, data + position)) {
            flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
            return -1;
        }
    }
    flash_set_mode(fsi, offset, FLASH_CONFIRM);
    return flash_wait(fsi, offset, kProgramLimit);
}

int flash_program_words(FSI *fsi, uint32_t offset, uint32_t address, const uint8_t *data, uint32_t length) {
    uint32_t position = 0;
    while (position < length) {
        flash_set_mode(fsi, offset, FLASH_PROGRAM);
        for (uint32_t device = 0; device < fsi->interleave && position < length; device++) {
            if (!store_unit(fsi, address + position, data + position)) return -1;
            position += fsi->width;
        }
        if (flash_wait(fsi, offset, kProgramLimit) != 1) return -1;
    }
    return 1;
}

int flash_compare(uint32_t offset, const uint8_t *flash, const uint8_t *data, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        if (flash[i] != data[i]) {
            print_error("flash_write(): data (0x%02x) != (0x%02x) at offset (0x%x)\n", flash[i], data[i], offset + i);
            return -1;
        }
    }
    return 1;
}

int flash_verify(uint32_t offset, uint32_t address, const uint8_t *data, uint32_t length) {
    uint8_t flash[kVerifyPiece];
    for (uint32_t done = 0; done < length;) {
        uint32_t piece = length - done < kVerifyPiece ? length - done : kVerifyPiece;
        board_copy_out(board_window, address + done, flash, piece);
        if (flash_compare(offset + done, flash, data + done, piece) != 1) return -1;
        done += piece;
    }
    return 1;
}

int flash_write(FSI *fsi, uint32_t offset, const uint8_t *data, uint32_t count, uint8_t *table) {
    // In a run that writes only what changes, the table is that run's block plan.
    if (flash_changed_active()) return flash_write_changed(fsi, offset, data, count, table);
    if (flash_check_run("flash_write", fsi, offset, count, data) != 1) return -1;
    if (table == nullptr) {
        print_error("flash_write(): NULL erase table\n");
        return -1;
    }
    // The table has one entry per whole erase unit; any other geometry has offsets
    // without an entry.
    if (flash_check_units("flash_write", fsi) != 1) return -1;
    const uint64_t unit = flash_erase_unit(fsi);
    const uint32_t bus_word = fsi->interleave * fsi->width;

    do {
        uint32_t length = flash_chunk_length(fsi, offset, count);
        uint32_t address;
        if (flash_select_page(fsi, offset, &address) != 1) return -1;

        bool buffered = fsi->boot_block == 0 && length > bus_word;
        if (buffered && length > fsi->interleave * FLASH_BUFFER_BYTES) length = fsi->interleave * FLASH_BUFFER_BYTES;

        uint8_t *entry = &table[offset / unit];
        if (*entry == 0) {
            if (flash_erase(fsi, offset) != 1) return -1;
            *entry = 1;
        }

        int result = buffered ? flash_program_buffer(fsi, offset, address, data, length)
                              : flash_program_words(fsi, offset, address, data, length);
        if (result != 1) return -1;

        flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
        if (flash_verify(offset, address, data, length) != 1) return -1;

        offset += length;
        data += length;
        count -= length;
    } while (count > 0);
    return 1;
}

int flash_get_write_buffer(FSI *fsi, uint32_t offset) {
    if (flash_check_fsi("flash_get_write_buffer", fsi) != 1) return -1;
    if (flash_align_offset("flash_get_write_buffer", fsi, &offset) != 1) return -1;
    uint32_t start = get_ticks();
    do {
        flash_set_mode(fsi, offset, FLASH_WRITE_TO_BUFFER);
        if (flash_check_write_buffer(fsi, offset) == 1) return 1;
    } while (get_ticks() - start <= kBufferLimit);
    flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
    return -1;
}

int flash_check_write_buffer(FSI *fsi, uint32_t offset) {
    uint32_t address;
    if (flash_locate("flash_check_write_buffer", fsi, &offset, &address) != 1) return -1;
    for (uint32_t device = 0; device < fsi->interleave; device++) {
        if ((board_read8(board_window, address + device * fsi->width) & FLASH_STATUS_READY) == 0) return -1;
    }
    return 1;
}
