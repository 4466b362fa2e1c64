// Update files: naming, reads retried after a signal, the progress display and the chunked copy.
#include "loader/update_files.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "loader/loader.h"
#include "loader/tav_info.h"
#include "loader/update_files_platform.h"

uint8_t transfer_buffer[TRANSFER_BYTES];

std::string update_file_name(const char *base) {
    const char *path = run_options.path != nullptr ? run_options.path : "";
    const char *prefix = run_options.prefix != nullptr ? run_options.prefix : "";
    std::string name(path);
    if (path[0] != '\0') name += UPDATE_PATH_SEPARATOR;
    name += prefix;
    name += base;
    return name;
}

long read_update_file(int fd, uint8_t *buffer, uint32_t count) {
    for (;;) {
        long n = read_update_bytes(fd, buffer, count);
        if (n >= 0) return n;
        if (errno != EINTR) return -1;
    }
}

long read_update_chunk(int fd, uint8_t *buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        long n = read_update_file(fd, buffer + done, count - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<long>(done);
}

int put_planned_file(const char *name, uint32_t start, uint32_t length, int zero_fill, uint32_t offset, uint8_t *dest,
                     uint32_t count) {
    const uint64_t from = offset > start ? offset : start;
    const uint64_t end = static_cast<uint64_t>(start) + length;
    const uint64_t to = static_cast<uint64_t>(offset) + count < end ? static_cast<uint64_t>(offset) + count : end;
    if (from >= to) return 1;
    int fd = open_update_file(name);
    if (fd < 0) return -1;
    uint8_t *at = dest + (from - offset);
    uint32_t wanted = static_cast<uint32_t>(to - from);
    uint32_t done = 0;
    bool failed = false;
    while (done < wanted) {
        long n = read_update_bytes_at(fd, at + done, wanted - done, from - start + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed = n < 0;
            break;
        }
        done += static_cast<uint32_t>(n);
    }
    close_update_file(fd);
    if (failed || (done < wanted && zero_fill == 0)) return -1;
    std::memset(at + done, 0, wanted - done);
    return 1;
}

const char *read_error_text(long result) {
    if (result == 0) return "unexpected end of file";
    return std::strerror(errno);
}

int report_open_failure(const char *name, int newline, int code) {
    std::fprintf(stderr, "%s%s: unable to open file (%s) - %s\n", newline ? "\n" : "", program_name, name,
                 std::strerror(errno));
    return code;
}

int report_read_failure(const char *name, const char *text, int code) {
    std::fprintf(stderr, "\n%s: unable to read file (%s) - %s\n", program_name, name, text);
    return code;
}

int report_wrong_size(const char *name, unsigned long long size, unsigned long expected, int newline, int code) {
    std::fprintf(stderr, "%s%s: file (%s) present but wrong size %llu != %lu\n", newline ? "\n" : "", program_name,
                 name, size, expected);
    return code;
}

int report_write_failure(const char *name, int code) {
    std::fprintf(stderr, "\n%s: unable to write FLASH from (%s)\n", program_name, name);
    return code;
}

void progress(const char *format, ...) {
    if (debug != 1) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

void progress_counter(uint32_t count) { progress("\b\b\b\b\b\b\b\b%8lu", static_cast<unsigned long>(count)); }

int copy_file_to_flash(FSI *fsi, uint8_t *table, const CopyJob *job, uint32_t *end_offset) {
    progress("%s%s (%s)...%8lu", job->lead, job->title, job->file_name, static_cast<unsigned long>(job->count));
    int fd = open_update_file(job->file_name);
    if (fd < 0) return report_open_failure(job->file_name, job->open_newline, job->open_code);
    uint32_t remaining = job->count;
    uint32_t offset = job->offset;
    while (remaining != 0) {
        // Never ask for more than is still to copy: a longer file is cut exactly at the
        // declared size and nothing beyond it can reach the flash.
        uint32_t want = remaining < TRANSFER_BYTES ? remaining : TRANSFER_BYTES;
        long n = read_update_chunk(fd, transfer_buffer, want);
        if (n <= 0) {
            report_read_failure(job->file_name, read_error_text(n), job->read_code);
            close_update_file(fd);
            return job->read_code;
        }
        uint32_t got = static_cast<uint32_t>(n);
        if (flash_write(fsi, offset, transfer_buffer, got, table) != 1) {
            close_update_file(fd);
            return report_write_failure(job->file_name, job->write_code);
        }
        progress_counter(remaining);
        sum_longs(transfer_buffer, got, job->checksum);
        if (job->size != nullptr) *job->size += static_cast<int32_t>(got);
        remaining -= got;
        offset += got;
    }
    close_update_file(fd);
    *end_offset = offset;
    return RESULT_OK;
}
