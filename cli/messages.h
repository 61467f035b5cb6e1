// The exit statuses and every text for the user: messages, the usage text
// and the version.
#ifndef FW2HEX_MESSAGES_H
#define FW2HEX_MESSAGES_H

#include <cstdint>
#include <cstdio>

#include "convert/convert.h"

// Each failure class has its own status: -1 to -4 as a POSIX shell sees
// them, given as such so that Windows, which keeps all 32 bits, reports the
// same numbers, and "if errorlevel 1" catches every failure there.
enum exit_status {
    exit_success = 0,
    exit_no_input = 255,     // no image named, or a malformed option argument
    exit_cannot_read = 254,  // an image cannot be opened or read
    exit_cannot_write = 253, // the output cannot be created or written
    exit_does_not_fit = 252, // the layout passes the top of the address space or overlaps
};

// Formats UTF-8 text onto `stream`.
__attribute__((format(printf, 2, 3))) void say(std::FILE *stream, const char *format, ...);

// Says the message on standard error and returns `status`.
__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...);

struct system_error;

// The same, the line ending with the system's reason for `error`:
// "Cannot open file 'x.bin': No such file or directory".
__attribute__((format(printf, 3, 4))) int fail_for(int status, const system_error &error, const char *format, ...);

// Refuses the image `path` that would pass the top of the address space at
// `address`; the exit status.
int refuse_too_large(const char *path, std::uint32_t address);

// The exit status of a conversion that ended with `result` in the piece
// `failed`, writing to `output_path` (null: standard output); `error` is
// the system's, as it was when the conversion stopped.
int report(convert_result result, const piece &failed, const char *output_path, const system_error &error);

// The usage text on `stream` (standard output, or standard error when the
// output goes to standard output), naming the program as it was run;
// `status`, unless the stream cannot be written.
int show_usage(std::FILE *stream, const char *program_name, int status);

// "fw2hex" and its version on standard output; the exit status.
int print_version();

#endif
