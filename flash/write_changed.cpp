// Writing only what changes. At the first touch of an erase block the driver reads the block
// and compares it with what the caller says it will hold after the run: a block that holds it
// already is kept (nothing is programmed; the data written into it is compared with it), a
// block that reads erased is programmed without an erase, any other is erased first. A block
// that holds data is never programmed over: cells that store two bits cannot be assumed to
// take a second program.
#include <cstdlib>
#include <cstring>

#include "flash/commands.h"
#include "flash/flash.h"
#include "flash/print_error.h"
#include "flash/run_checks.h"
#include "flash/write_steps.h"

namespace {

// Entries of a block plan.
constexpr uint8_t kPlanUnjudged = 0;   // not touched yet in this run
constexpr uint8_t kPlanKeep = 1;       // holds what the run writes into it
constexpr uint8_t kPlanProgram = 2;    // reads erased (or was erased in this run)
constexpr uint8_t kPlanErase = 3;      // holds other data: erased before its first program

constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kFirstPiece = 0x200;   // bytes of a block read first when it is judged
constexpr uint32_t kReadPiece = 0x4000;   // and then at a time

FlashPlannedContents planned = nullptr;
void *planned_context = nullptr;

// What the block last judged to be kept holds, as read from the board: the data written into
// that block is compared with this copy instead of being read back.
uint8_t *held = nullptr;
uint32_t held_capacity = 0;
const uint8_t *held_plan = nullptr;   // the plan the copy belongs to, null for none
uint32_t held_index = 0;

uint8_t board_piece[kReadPiece];

bool all_erased(const uint8_t *data, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        if (data[i] != kErased) return false;
    }
    return true;
}

// Reads block `index` (start, length) and sets its plan entry.
int judge_block(FSI *fsi, uint8_t *plan, uint32_t index, uint32_t start, uint32_t length) {
    if (length > held_capacity) {
        uint8_t *bigger = static_cast<uint8_t *>(realloc(held, length));
        if (bigger == nullptr) {
            print_error("flash_write(): malloc(%d) failed\n", (int)length);
            return -1;
        }
        held = bigger;
        held_capacity = length;
    }
    held_plan = nullptr;
    bool equal = planned(planned_context, fsi, start, held, length) == 1;
    bool erased = true;
    // A block found to hold other data is erased whatever the rest of it holds: the reading
    // stops there, after a short first piece.
    for (uint32_t done = 0; done < length && (equal || erased);) {
        uint32_t piece = done == 0 ? kFirstPiece : kReadPiece;
        if (piece > length - done) piece = length - done;
        if (flash_read(fsi, start + done, board_piece, piece) != 1) return -1;
        if (equal && std::memcmp(board_piece, held + done, piece) != 0) equal = false;
        if (erased && !all_erased(board_piece, piece)) erased = false;
        done += piece;
    }
    // An erased block is programmed even when nothing is to be written into it: whatever the
    // caller writes there later lands on erased cells.
    if (erased) {
        plan[index] = kPlanProgram;
    } else if (equal) {
        plan[index] = kPlanKeep;
        held_plan = plan;
        held_index = index;
    } else {
        plan[index] = kPlanErase;
    }
    return 1;
}

// The data of a kept block must be what it holds: compared with the copy taken when the block
// was judged, or read back when that copy is gone.
int compare_kept(FSI *fsi, const uint8_t *plan, uint32_t index, uint32_t start, uint32_t offset, uint32_t address,
                 const uint8_t *data, uint32_t length) {
    if (held_plan == plan && held_index == index) return flash_compare(offset, held + (offset - start), data, length);
    flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
    return flash_verify(offset, address, data, length);
}

// Programs the chunk into erased cells but its runs of 0xFF: buffers cut at interleave x 32-byte
// boundaries, bus words one by one on a boot-block device; a piece of nothing but 0xFF is left.
int program_changed(FSI *fsi, uint32_t offset, uint32_t address, const uint8_t *data, uint32_t length) {
    const uint32_t bus_word = fsi->interleave * fsi->width;
    const uint32_t line = fsi->interleave * FLASH_BUFFER_BYTES;
    for (uint32_t position = 0; position < length;) {
        uint32_t piece = fsi->boot_block == 0 ? line - (offset + position) % line : bus_word;
        if (piece > length - position) piece = length - position;
        if (!all_erased(data + position, piece)) {
            const uint32_t at = offset + position;
            int result;
            if (fsi->boot_block == 0 && piece > bus_word) {
                result = flash_program_buffer(fsi, at, address + position, data + position, piece);
            } else {
                result = flash_program_words(fsi, at, address + position, data + position, piece);
            }
            if (result != 1) return -1;
        }
        position += piece;
    }
    return 1;
}

}  // namespace

void flash_changed_begin(FlashPlannedContents contents, void *context) {
    planned = contents;
    planned_context = context;
    held_plan = nullptr;
    isa_tav_select_changes_only(1);
}

void flash_changed_end(void) {
    planned = nullptr;
    planned_context = nullptr;
    free(held);
    held = nullptr;
    held_capacity = 0;
    held_plan = nullptr;
    isa_tav_select_changes_only(0);
}

int flash_changed_active(void) { return planned != nullptr ? 1 : 0; }

uint8_t *flash_alloc_block_plan(FSI *fsi) {
    if (flash_check_fsi("flash_alloc_block_plan", fsi) != 1) return nullptr;
    uint32_t count = flash_block_count(fsi);
    if (count == 0) {
        print_error("flash_alloc_block_plan(): no erase block layout for the devices of space %d\n", (int)fsi->space);
        return nullptr;
    }
    uint8_t *plan = static_cast<uint8_t *>(calloc(count, 1));
    if (plan == nullptr) {
        print_error("flash_alloc_block_plan(): malloc(%d) failed\n", (int)count);
        return nullptr;
    }
    // A new plan may take the memory of a released one: the copy of the old one is not its.
    held_plan = nullptr;
    return plan;
}

int flash_write_changed(FSI *fsi, uint32_t offset, const uint8_t *data, uint32_t count, uint8_t *plan) {
    if (flash_check_run("flash_write", fsi, offset, count, data) != 1) return -1;
    if (plan == nullptr) {
        print_error("flash_write(): NULL erase table\n");
        return -1;
    }
    do {
        uint32_t index;
        uint32_t start;
        uint32_t block_length;
        if (flash_block_at(fsi, offset, &index, &start, &block_length) != 1) return -1;
        uint32_t length = count;
        if (start + block_length - offset < length) length = start + block_length - offset;
        uint32_t page_left = fsi->page_size - offset % fsi->page_size;
        if (page_left < length) length = page_left;

        if (plan[index] == kPlanUnjudged && judge_block(fsi, plan, index, start, block_length) != 1) return -1;
        uint32_t address;
        if (flash_select_page(fsi, offset, &address) != 1) return -1;
        if (plan[index] == kPlanKeep) {
            if (compare_kept(fsi, plan, index, start, offset, address, data, length) != 1) return -1;
        } else {
            if (plan[index] == kPlanErase) {
                if (flash_erase_block(fsi, start) != 1) return -1;
                plan[index] = kPlanProgram;
            }
            if (program_changed(fsi, offset, address, data, length) != 1) return -1;
            flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
            if (flash_verify(offset, address, data, length) != 1) return -1;
        }
        offset += length;
        data += length;
        count -= length;
    } while (count > 0);
    return 1;
}
