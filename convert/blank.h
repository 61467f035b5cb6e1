// Erased flash, and the lines and blocks that every output is walked in.
#ifndef FW2HEX_BLANK_H
#define FW2HEX_BLANK_H

#include <cstddef>

constexpr unsigned char blank_byte = 0xFF;   // erased flash reads as this
constexpr std::size_t line_size = 16;        // data bytes per record at most
constexpr std::size_t block_size = 0x10000;  // span of one Extended Linear Address

// True when each of the first `count` bytes is blank (and for count 0).
bool block_is_blank(const unsigned char *bytes, std::size_t count);

// How many bytes of a line to write: the line without its blank tail when
// that tail is 4 bytes or longer, else the whole line.
std::size_t trim_blank_tail(const unsigned char *line, std::size_t length);

#endif
