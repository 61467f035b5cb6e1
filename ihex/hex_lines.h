// Intel HEX text, line by line: the reading that read_hex_file checks a
// whole file with and that the conversion reads each stretch with again.
#ifndef FW2HEX_HEX_LINES_H
#define FW2HEX_HEX_LINES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "read.h"

constexpr std::size_t longest_record_bytes = 1 + 2 + 1 + 255 + 1; // count, offset, type, data, checksum

// One record, its digits decoded and its checksum checked.
struct hex_record {
    unsigned count;  // data bytes
    unsigned offset; // the 16-bit address field
    unsigned type;
    unsigned char bytes[longest_record_bytes]; // all of it; the data starts at bytes + 4
};

// A file's text read through one buffer, a line at a time.
struct hex_cursor {
    std::FILE *input;
    const char *next;            // the first character not yet taken
    const char *end;             // the end of the text in the buffer
    std::uint64_t buffer_offset; // where in the file the buffer begins
    std::uint64_t line;          // the number of the line at `next`
    bool input_ended;            // nothing more to read after `end`
    bool input_failed;
    std::size_t chunk;           // what the next read asks for: small after a seek
};

// Starts reading at `offset` of the file, the start of line `line`; false
// when it cannot get there. Text still in the buffer from the last reading
// of the same stream is used again.
bool start_reading(hex_cursor *cursor, std::FILE *input, std::uint64_t offset, std::uint64_t line);

enum line_kind { record_line, empty_line, no_more_lines, faulty_line };

// Takes the next line. A record_line fills `record`; a faulty_line sets
// `fault` (kind and value, the line is the cursor's) and leaves the
// cursor on the faulty line.
line_kind take_line(hex_cursor *cursor, hex_record *record, hex_fault *fault);

// Takes the full data records at the cursor (16 bytes, the common line) as
// long as each goes on where the last ended, the first at the offset field
// `offset`, and none passes the segment's end: at most `room` bytes of data,
// copied to `out` unless it is null. Returns the bytes taken; what it stops
// at is left to take_line.
std::size_t take_full_run(hex_cursor *cursor, unsigned offset, unsigned char *out, std::size_t room);

// Decodes `pairs` digit pairs (upper or lower case) into `out` and adds the
// bytes to `sum`; false at a character that is not a hexadecimal digit.
// The S-record reader decodes its digits here too.
bool decode_pairs(const char *digits, std::size_t pairs, unsigned char *out, unsigned *sum);

// Decodes the 42 digits of a full line (21 bytes: an Intel HEX data record
// of 16 bytes after its ':', an S3 record of 16 after its "S3") into
// `bytes`, and their sum into `sum`, at once where the processor has SSE2;
// false at a character that is not a hexadecimal digit.
bool decode_full_line(const char *digits, unsigned char *bytes, unsigned *sum);

// The base that an Extended Segment (02) or Linear (04) Address record sets.
std::uint32_t address_base(const hex_record &record);

// Where in the file the next line begins.
std::uint64_t next_line_offset(const hex_cursor &cursor);

#endif
