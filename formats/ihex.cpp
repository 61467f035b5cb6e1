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
// The records of a run, which leave in one write.
char text[block_text_size];

// The text from the start of the buffer to `end`.
bool write_text(const char *end)
{
    return write_bytes(output, text, static_cast<std::size_t>(end - text));
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

bool start(std::FILE *stream, const char *, const extent_list *)
{
    output = stream;
    last_segment = no_segment;
    return true;
}

convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    // A run is at most a block, and its text leaves in one write, so that
    // the output holds every record of the runs before a failure.
    char *out = text;
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
    return write_text(out) ? converted : write_failed;
}

convert_result finish()
{
    return write_text(put_end_of_file(text)) && std::fflush(output) == 0 ? converted : write_failed;
}

} // namespace

const output_format intel_hex{"hex", "Intel HEX", "hex", "", ".hex ", ".hex", "the output has only the End Of File record",
                              no_parameters, true, false, nullptr, start, put, finish};
