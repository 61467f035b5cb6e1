// Intel HEX: an Extended Linear Address record (type 04) wherever the
// upper 16 address bits change, data records (type 00) of up to 16 bytes,
// an End Of File record (type 01) last.
#include <cinttypes>

#include "formats.h"
#include "ihex/read.h"
#include "ihex/records.h"

namespace {

constexpr std::size_t lines_per_block = block_size / line_size;
constexpr std::size_t address_record_size = 1 + 2 + 4 + 2 + 4 + 2 + line_end_size;
constexpr std::size_t end_record_size = 1 + 2 + 4 + 2 + 2 + line_end_size;
// Upper address bits that no segment has: nothing written yet.
constexpr std::uint32_t no_segment = 0x10000;

// Text of one block: every line, one line split at a 64 KiB boundary, an
// address record for each of the two segments a block can touch, the End
// Of File record, and the NUL that append_checksum leaves behind.
constexpr std::size_t block_text_size =
    (lines_per_block + 1) * record_size + 2 * address_record_size + end_record_size + 1;

std::FILE *output;          // where the text goes
std::uint32_t last_segment; // upper address bits of the last record written
// The records not yet written: a block's, or the runs of several that
// omission left small, which leave together.
char text[block_text_size];
char *text_end; // of the records in `text`

// The most text a run of `count` bytes (at most a block, so in two
// segments at most) can take: a record per line, one line split at a
// 64 KiB boundary, and an address record per segment.
constexpr std::size_t text_bound(std::size_t count)
{
    return ((count + line_size - 1) / line_size + 1) * record_size + 2 * address_record_size;
}

bool write_text()
{
    const bool written = write_bytes(output, text, static_cast<std::size_t>(text_end - text));
    text_end = text;
    return written;
}

// An Extended Linear Address record when `address` lies in another segment
// than the last record.
inline char *put_segment_change(char *out, std::uint32_t address)
{
    const std::uint32_t segment = address >> 16;
    if (segment != last_segment) {
        out = put_extended_linear_address(out, static_cast<std::uint16_t>(segment));
        last_segment = segment;
    }
    return out;
}

bool start(std::FILE *stream, const char * /*unused*/, const extent_list * /*unused*/)
{
    output = stream;
    text_end = text;
    last_segment = no_segment;
    return true;
}

convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    // The records so far leave first when this run's might not fit beside
    // them (with the End Of File record and append_checksum's NUL).
    if (text_bound(count) > static_cast<std::size_t>(text + sizeof text - text_end) - end_record_size - 1 &&
        !write_text())
        return write_failed;
    char *out = text_end;
    split_records(
        address, bytes, count,
        [&](std::uint32_t at, const unsigned char *line, std::size_t lines) {
            out = put_segment_change(out, at);
            out = put_full_lines(out, static_cast<std::uint16_t>(at), line, lines);
        },
        [&](std::uint32_t at, const unsigned char *record, std::size_t size) {
            out = put_segment_change(out, at);
            out = put_data_record(out, static_cast<std::uint16_t>(at), record, size);
        });
    text_end = out;
    return converted;
}

convert_result finish(bool complete)
{
    if (complete)
        text_end = put_end_of_file(text_end);
    return write_text() && std::fflush(output) == 0 ? converted : write_failed;
}

// What a first reading found wrong, as the user reads it.
const char *fault_text(const hex_fault &fault)
{
    switch (fault.kind) {
    case hex_not_a_record:
        return "the line does not start with ':'";
    case hex_bad_digit:
        return "a character that is not a hexadecimal digit";
    case hex_bad_length:
        return "the byte count does not agree with the line's length";
    case hex_bad_checksum:
        return "wrong checksum, 0x%02X would be right";
    case hex_unknown_type:
        return "unknown record type %02X";
    case hex_bad_type_length:
        return "wrong byte count for a record of type %02X";
    case hex_bad_address_field:
        return "the address field of a record of type %02X must be 0000";
    case hex_crosses_segment:
        return "the data record passes the end of its 64 KiB segment";
    case hex_passes_top:
        return "the data record passes 0xFFFFFFFF";
    case hex_after_end:
        return "a record after the End Of File record (two files joined into one?)";
    case hex_space_after_checksum:
        return fault.value == '\t' ? "a tab after the checksum" : "a space after the checksum";
    case hex_byte_order_mark:
        return "a UTF-8 byte order mark (saved by an editor?)";
    case hex_dos_end_of_file:
        return "a DOS end-of-file character (0x1A) after the End Of File record";
    default:
        return "";
    }
}

bool recognise(const unsigned char *head, std::size_t size, bool whole_record)
{
    if (first_visible(head, size) != ':')
        return false;
    const char *line = nullptr;
    std::size_t length = 0;
    return !whole_record || (first_line(head, size, &line, &length) && is_hex_record(line, length));
}

part_fault read_part(std::FILE *input, std::uint64_t /*unused*/, part_stretches *stretches)
{
    const hex_fault fault = read_hex_file(input, stretches);
    switch (fault.kind) {
    case hex_well_formed:
        return {part_well_formed, 0, 0, {}};
    case hex_read_failed:
        return {part_read_failed, 0, 0, {}};
    case hex_out_of_memory:
        return {part_out_of_memory, 0, 0, {}};
    case hex_no_end:
        return make_fault(part_malformed, 0, "no End Of File record; it may have been cut short");
    case hex_shared_address:
        return make_fault(part_malformed, fault.line, "data records share the address 0x%X with line %" PRIu64,
                          fault.address, fault.other_line);
    default: {
        part_fault named = make_fault(part_malformed, fault.line, fault_text(fault), fault.value); // NOLINT: the texts above, each with one number at most
        named.column = fault.column;
        return named;
    }
    }
}

const part_reader reader{"Intel HEX", recognise, read_part, start_hex_stretch, take_hex_bytes, false, nullptr, false};

} // namespace

const file_format intel_hex{"hex", "Intel HEX", "hex", "", ".hex ", ".hex", "the output has only the End Of File record",
                              no_parameters, true, false, nullptr, start, put, finish, &reader, "ihex "};
