// The strict Intel HEX reader: a file checked through, its data found as
// stretches that the conversion reads again as pieces.
#ifndef FW2HEX_READ_H
#define FW2HEX_READ_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "convert/part.h"

// An Intel HEX file's data is read in stretches: runs of data records that
// follow each other in the file and in the address space. A stretch's
// `offset` is its first data record's line, `where` that line's number, and
// `base` the segment base in force there.
using hex_stretch = part_stretch;
using hex_stretches = part_stretches;

enum hex_fault_kind {
    hex_well_formed,
    hex_read_failed,       // the stream reported an error
    hex_out_of_memory,     // no room for one more stretch
    hex_not_a_record,      // a line that does not start with ':'
    hex_bad_digit,         // a character that is not a hexadecimal digit
    hex_bad_length,        // the byte count disagrees with the line's length
    hex_bad_checksum,      // `value`: the checksum the record should have
    hex_unknown_type,      // `value`: the type
    hex_bad_type_length,   // `value`: the type, which has a fixed byte count
    hex_bad_address_field, // `value`: the type, whose address field must be 0000
    hex_crosses_segment,   // a data record passes the end of its 64 KiB segment
                           // (after an Extended Segment Address, or before any address)
    hex_passes_top,        // a data record passes 0xFFFFFFFF
    hex_after_end,         // a record after the End Of File record
    hex_no_end,            // no End Of File record (no line)
    hex_shared_address,    // `line` and `other_line` put data at `address`
    hex_space_after_checksum, // `value`: the space or tab that follows the record
    hex_byte_order_mark,   // a UTF-8 byte order mark before the first record
    hex_dos_end_of_file    // a DOS end-of-file character (0x1A) after the End Of File record
};
struct hex_fault {
    hex_fault_kind kind;
    std::uint64_t line;       // where it is, from 1 (0: not at a line)
    std::uint64_t other_line; // hex_shared_address: the earlier of the two lines
    unsigned value;
    std::uint32_t address;
    unsigned column;          // where on the line, from 1, for a fault of one character (0: none)
};

// Reads the Intel HEX text of `input` from where it stands to its end,
// checks every line of it and gathers its stretches; the first fault, or
// hex_well_formed. Nothing is trusted: a file is well formed when every
// line is ':' and digit pairs, its byte count and checksum agree, its type
// is 00 to 05 with that type's byte count, the address field of types 02
// to 05 is 0000, no data record passes its 64 KiB segment (but after an
// Extended Linear Address, whose addresses go on linearly: none passes
// 0xFFFFFFFF), no two data records share an address, and it ends with an
// End Of File record that nothing but empty lines follows.
hex_fault read_hex_file(std::FILE *input, hex_stretches *stretches);

// True when the `length` characters at `text` (a line without its end) are
// one record that read_hex_file takes: digits, byte count, checksum, type
// 00 to 05 with its byte count and address field.
bool is_hex_record(const char *text, std::size_t length);

// Hands over the bytes of a stretch that read_hex_file found in `input`:
// start_hex_stretch, then take_hex_bytes until the stretch's size is taken
// (the part reader's start and take).
bool start_hex_stretch(std::FILE *input, const hex_stretch &stretch);
convert_result take_hex_bytes(unsigned char *out, std::size_t room, std::size_t *taken);

#endif
