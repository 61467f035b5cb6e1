// Intel HEX: an Extended Linear Address record (type 04) wherever the
// upper 16 address bits change, data records (type 00) of up to 16 bytes,
// an End Of File record (type 01) last.
#include "formats.h"
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

} // namespace

const output_format intel_hex{"hex", "Intel HEX", "hex", "", ".hex ", ".hex", "the output has only the End Of File record",
                              no_parameters, true, false, nullptr, start, put, finish};
