// Intel HEX record text: the pieces the Intel HEX output is made of,
// visible here so that they can be checked one by one.
#ifndef FW2HEX_IHEX_H
#define FW2HEX_IHEX_H

#include <cstddef>
#include <cstdint>

#include "text.h"

// Longest record: ':', count, address, type, 2 digits per data byte,
// checksum, line end.
constexpr std::size_t record_size = 1 + 2 + 4 + 2 + 2 * line_size + 2 + line_end_size;

// Completes a NUL-terminated ":" + hex digits record text in place with its
// two checksum digits, the line end and a new NUL.
void append_checksum(char *record_line);

// Writes a finished record at `out` and returns the end of what it wrote
// (no NUL). `out` needs room for record_size characters plus a NUL.
char *put_data_record(char *out, std::uint16_t address, const unsigned char *bytes,
                      std::size_t count);
// The same for `lines` full lines of 16 bytes from `bytes` at `address`,
// `address`+16, ... (all inside one 64 KiB segment); the common case.
char *put_full_lines(char *out, std::uint16_t address, const unsigned char *bytes, std::size_t lines);
char *put_extended_linear_address(char *out, std::uint16_t upper_address);
char *put_start_linear_address(char *out, std::uint32_t address);
char *put_end_of_file(char *out);

#endif
