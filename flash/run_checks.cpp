#include "flash/run_checks.h"

#include "flash/erase_unit.h"
#include "flash/print_error.h"

int flash_check_fsi(const char *routine, const FSI *fsi) {
    if (fsi != nullptr) return 1;
    print_error("%s(): NULL FSI pointer\n", routine);
    return -1;
}

int flash_check_units(const char *routine, const FSI *fsi) {
    if (flash_erase_units_fit(fsi)) return 1;
    print_error("%s(): erase unit (0x%llx) does not divide size (0x%x)\n", routine,
                (unsigned long long)flash_erase_unit(fsi), fsi->size);
    return -1;
}

int flash_check_offset(const char *routine, const FSI *fsi, uint32_t offset) {
    if (offset < fsi->size) return 1;
    print_error("%s(): offset (0x%x) out of range (0 - 0x%x)\n", routine, offset, fsi->size);
    return -1;
}

int flash_align_offset(const char *routine, const FSI *fsi, uint32_t *offset) {
    *offset &= ~(fsi->interleave - 1);
    return flash_check_offset(routine, fsi, *offset);
}

int flash_select_page(const FSI *fsi, uint32_t offset, uint32_t *address) {
    if (isa_tav_map_page(fsi->space, offset / fsi->page_size) == 0) return -1;
    *address = offset % fsi->page_size;
    return 1;
}

int flash_locate(const char *routine, const FSI *fsi, uint32_t *offset, uint32_t *address) {
    if (flash_align_offset(routine, fsi, offset) != 1) return -1;
    return flash_select_page(fsi, *offset, address);
}

int flash_check_run(const char *routine, const FSI *fsi, uint32_t offset, uint32_t count, const void *data) {
    if (flash_check_fsi(routine, fsi) != 1) return -1;
    // A zero interleave or width fails its check instead of dividing by zero.
    if (fsi->interleave == 0 || offset % fsi->interleave != 0) {
        print_error("%s(): offset (0x%x) not aligned to (%d) bytes\n", routine, offset, (int)fsi->interleave);
        return -1;
    }
    if (fsi->width == 0 || count % fsi->width != 0) {
        print_error("%s(): count (%d) not a multiple of (%d) bytes\n", routine, (int)count, (int)fsi->width);
        return -1;
    }
    if (flash_check_offset(routine, fsi, offset) != 1) return -1;
    // In 64 bits, so that a count that wraps past 4 GB is refused too.
    if ((uint64_t)offset + count > fsi->size) {
        print_error("%s(): offset (0x%x) + count (%d) > (0x%x)\n", routine, offset, (int)count, fsi->size);
        return -1;
    }
    if (data == nullptr) {
        print_error("%s(): NULL data pointer\n", routine);
        return -1;
    }
    return 1;
}
