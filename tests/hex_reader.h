// A strict Intel HEX reader, independent of the writer, for the tests and
// the fuzz target: it checks every rule the writer promises to keep.
#ifndef FW2HEX_HEX_READER_H
#define FW2HEX_HEX_READER_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// What a strict reader makes of Intel HEX text: the bytes by address, or
// the first rule the text breaks (empty when it keeps them all). The writer
// goes through the image in order, so the reader demands rising addresses.
struct hex_contents {
    std::vector<std::pair<std::uint64_t, std::uint8_t>> memory; // by rising address
    std::vector<std::pair<std::uint64_t, std::size_t>> records;  // each data record's address and count
    std::string fault;
    bool ended = false; // End Of File record seen
    std::uint32_t start = 0; // the Start Linear Address record's, which comes right before End Of File; 0: none

    // The byte at `address`, or null where the text has none.
    const std::uint8_t *at(std::uint64_t address) const;
};
hex_contents read_hex(const std::string &text);

// What any well-formed Intel HEX file holds, read the slow and simple way:
// records of types 00 to 05 in any order, either case, LF or CR LF, empty
// lines skipped, the address field 0000 but in data records, no data
// record past its 64 KiB segment unless an Extended Linear Address set its
// base (then none past 0xFFFFFFFF), no address given twice, an End Of File
// record last. False for any other text. `start_address` (when given) gets the
// start address of the last Start Segment (CS * 16 + IP) or Start Linear
// Address record, 0 when there is none.
bool read_any_hex(const std::string &text, std::map<std::uint32_t, std::uint8_t> *memory, std::uint32_t *start_address = nullptr);

#endif
