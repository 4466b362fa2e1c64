// Update files: their full names, opening and reading them, the chunked copy into a flash
// space, and the progress display of the copies.
#pragma once

#include <cstdint>
#include <string>

#include "flash/flash.h"

// Bytes moved per chunk: every image is streamed through one buffer of this size.
constexpr uint32_t TRANSFER_BYTES = 8192;
extern uint8_t transfer_buffer[TRANSFER_BYTES];

// The 79-hyphen line that opens every progress section.
#define PROGRESS_SEPARATOR "-------------------------------------------------------------------------------\n"
// Closes a counter line: eight backspaces, eight spaces, newline.
#define PROGRESS_COUNTER_END "\b\b\b\b\b\b\b\b        \n"

// Full name of an update file: path, a separator when path is not empty ("/" on POSIX,
// a backslash on Windows), prefix, base name. No length limit of its own.
std::string update_file_name(const char *base);

// Opens an update file for reading in binary mode without ever blocking in the open
// (a FIFO with no writer). Returns the descriptor, or -1 with errno set.
int open_update_file(const char *name);
// Reads up to count bytes; retried when a signal interrupts it. Returns the bytes read,
// 0 at end of file, -1 with errno set on error.
long read_update_file(int fd, uint8_t *buffer, uint32_t count);
// Reads until count bytes arrived or the file ended, so that a chunk is whole even when the
// file arrives in pieces (a pipe, a FIFO, a slow network file system): a short result means
// the end of the file. Returns the bytes read, 0 at end of file, -1 with errno set on error.
long read_update_chunk(int fd, uint8_t *buffer, uint32_t count);
// For a load that writes only what changes: the part of the file `name` that the load writes
// at [start, start + length) of a space that falls into [offset, offset + count), put at its
// place in dest (dest[0] stands for offset). zero_fill 1: what lies past the file's end is
// zeros (tavboot.rom's fill); 0: a file that ends early cannot tell. 1, or -1 when the file
// cannot be opened or read there.
int put_planned_file(const char *name, uint32_t start, uint32_t length, int zero_fill, uint32_t offset, uint8_t *dest,
                     uint32_t count);
// Closes a descriptor of open_update_file. No result: a failed close loses nothing read.
void close_update_file(int fd);
// The error text for a failed read: "unexpected end of file" when the read returned 0,
// else the standard text of errno.
const char *read_error_text(long result);

// What kind of file an open descriptor of open_update_file is. Only a regular file has a size
// that can be checked before it is copied.
enum UpdateFileKind {
    UPDATE_FILE_REGULAR,
    UPDATE_FILE_DIRECTORY,
    UPDATE_FILE_FIFO,
    UPDATE_FILE_DEVICE,   // a character or block device
    UPDATE_FILE_OTHER,
};
// Kind and size in bytes of the file open on fd. 1, or -1 with errno set.
int describe_update_file(int fd, int *kind, unsigned long long *size);

// The messages of an update file's failures, each written in this one place, on standard
// error. Each returns `code`, so a failure path reads "return report_...(..., code)".
// "[\n]<program>: unable to open file (NAME) - <errno text>"; newline: 1 to start with "\n".
int report_open_failure(const char *name, int newline, int code);
// "\n<program>: unable to read file (NAME) - TEXT".
int report_read_failure(const char *name, const char *text, int code);
// "[\n]<program>: file (NAME) present but wrong size SIZE != EXPECTED".
int report_wrong_size(const char *name, unsigned long long size, unsigned long expected, int newline, int code);
// "\n<program>: unable to write FLASH from (NAME)".
int report_write_failure(const char *name, int code);

// Progress display under -debug: printf-style to standard output, flushed; nothing
// without -debug.
void progress(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The counter of a running copy redrawn in place: eight backspaces and eight columns.
void progress_counter(uint32_t count);

// One file copied into a flash space in chunks of at most TRANSFER_BYTES.
struct CopyJob {
    const char *file_name;    // full name
    const char *lead;         // printed before the header: separator, or counter end and separator
    const char *title;        // "Updating game FLASH with"
    uint32_t offset;          // first byte in the space
    uint32_t count;           // bytes to copy; the file must hold at least this many
    uint32_t *checksum;       // running word sum of the bytes written
    int32_t *size;            // running byte count of the bytes written, or null
    int open_code;            // result codes of the three failures
    int read_code;
    int write_code;
    int open_newline;         // 1: the open message starts with a newline
};

// Copies job->count bytes of the file into the space from job->offset, never reading more
// than is still to copy; *end_offset receives the offset behind the last byte written.
// Returns 0, or the job's open, read or write code after printing its message. The file is
// closed on every path; the erase table stays with the caller, who releases it.
int copy_file_to_flash(FSI *fsi, uint8_t *table, const CopyJob *job, uint32_t *end_offset);
