// Record text and blank tests: the pieces convert_image is made of,
// visible here so that they can be checked one by one.
#ifndef FW2HEX_RECORDS_H
#define FW2HEX_RECORDS_H

#include <cstddef>
#include <cstdint>

constexpr unsigned char blank_byte = 0xFF;   // erased flash reads as this
constexpr std::size_t line_size = 16;        // data bytes per record at most
constexpr std::size_t block_size = 0x10000;  // span of one Extended Linear Address

// Each record's line end, part of the record text: CR LF on Windows, as its
// flashers and editors expect, LF elsewhere. The output is written as bytes,
// with no text-mode translation, which would split every write.
#ifdef _WIN32
constexpr char line_end[] = "\r\n";
#else
constexpr char line_end[] = "\n";
#endif
constexpr std::size_t line_end_size = sizeof line_end - 1;

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
char *put_end_of_file(char *out);

// True when each of the first `count` bytes is blank (and for count 0).
bool block_is_blank(const unsigned char *bytes, std::size_t count);

// How many bytes of a line to write: the line without its blank tail when
// that tail is 4 bytes or longer, else the whole line.
std::size_t trim_blank_tail(const unsigned char *line, std::size_t length);

#endif
