// A strict Intel HEX reader, independent of the writer, for the tests and
// the fuzz target: it checks every rule the writer promises to keep.
#ifndef FW2HEX_HEX_READER_H
#define FW2HEX_HEX_READER_H

#include <cstdint>
#include <map>
#include <string>

// What a strict reader makes of Intel HEX text: the bytes by address, or
// the first rule the text breaks (empty when it keeps them all).
struct hex_contents {
    std::map<std::uint64_t, std::uint8_t> memory;
    std::string fault;
    bool ended = false; // End Of File record seen
};
hex_contents read_hex(const std::string &text);

#endif
