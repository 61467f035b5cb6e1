// Intel HEX: an Extended Linear Address record (type 04) wherever the
// upper 16 address bits change, data records (type 00) of up to 16 bytes,
// an End Of File record (type 01) last.
#include <cstring>

#include "formats.h"
#include "ihex.h"

namespace {

constexpr char record_start = ':';
constexpr unsigned data_type = 0x00;
constexpr char extended_linear_address_head[] = ":02000004";
constexpr char end_of_file_head[] = ":00000001";
constexpr char start_linear_address_head[] = ":04000005";

unsigned digit_value(char digit)
{
    const unsigned decimal = static_cast<unsigned char>(digit - '0');
    return decimal <= 9 ? decimal : static_cast<unsigned>(digit - 'A' + 10);
}

} // namespace

void append_checksum(char *record_line)
{
    unsigned char sum = 0;
    char *cursor = record_line + 1;
    for (; *cursor != '\0'; cursor += 2)
        sum = static_cast<unsigned char>(sum - (digit_value(cursor[0]) * 16 + digit_value(cursor[1])));
    cursor = put_byte(cursor, sum);
    std::memcpy(cursor, line_end, sizeof line_end);
}

namespace {

// One full line's record: the count fixed at 16, the checksum summed in the
// pass that formats the bytes.
inline char *put_full_line(char *out, std::uint16_t address, const unsigned char *bytes)
{
    static constexpr char head[] = ":10";
    std::memcpy(out, head, sizeof head - 1);
    put_byte(out + 3, address >> 8);
    put_byte(out + 5, address);
    put_byte(out + 7, data_type);
    const unsigned sum = line_size + (address >> 8) + (address & 0xFFu) + put_line_digits(out + 9, bytes);
    put_byte(out + 9 + 2 * line_size, 0u - sum);
    std::memcpy(out + record_size - line_end_size, line_end, line_end_size);
    return out + record_size;
}

} // namespace

char *put_full_lines(char *out, std::uint16_t address, const unsigned char *bytes, std::size_t lines)
{
    for (; lines > 0; --lines, bytes += line_size, address = static_cast<std::uint16_t>(address + line_size))
        out = put_full_line(out, address, bytes);
    return out;
}

char *put_data_record(char *out, std::uint16_t address, const unsigned char *bytes,
                      std::size_t count)
{
    if (count == line_size)
        return put_full_line(out, address, bytes);
    // The checksum is the two's complement of the byte sum, summed in the
    // same pass that formats the bytes.
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFFu);
    *out++ = record_start;
    out = put_byte(out, static_cast<unsigned>(count));
    out = put_byte(out, address >> 8);
    out = put_byte(out, address);
    out = put_byte(out, data_type);
    for (std::size_t i = 0; i < count; ++i) {
        out = put_byte(out, bytes[i]);
        sum += bytes[i];
    }
    out = put_byte(out, 0u - sum);
    std::memcpy(out, line_end, line_end_size);
    return out + line_end_size;
}

// The rare records go through append_checksum, which works on the text.
char *put_extended_linear_address(char *out, std::uint16_t upper_address)
{
    std::memcpy(out, extended_linear_address_head, sizeof extended_linear_address_head - 1);
    char *body_end = out + sizeof extended_linear_address_head - 1;
    body_end = put_byte(body_end, upper_address >> 8);
    body_end = put_byte(body_end, upper_address);
    *body_end = '\0';
    append_checksum(out);
    return body_end + 2 + line_end_size;
}

char *put_start_linear_address(char *out, std::uint32_t address)
{
    std::memcpy(out, start_linear_address_head, sizeof start_linear_address_head - 1);
    char *body_end = out + sizeof start_linear_address_head - 1;
    for (int shift = 24; shift >= 0; shift -= 8)
        body_end = put_byte(body_end, address >> shift);
    *body_end = '\0';
    append_checksum(out);
    return body_end + 2 + line_end_size;
}

char *put_end_of_file(char *out)
{
    std::memcpy(out, end_of_file_head, sizeof end_of_file_head);
    append_checksum(out);
    return out + sizeof end_of_file_head - 1 + 2 + line_end_size;
}

namespace {

constexpr std::size_t lines_per_block = block_size / line_size;
constexpr std::size_t address_record_size = 1 + 2 + 4 + 2 + 4 + 2 + line_end_size;
// The records that end the file: the start address, when known, and End Of
// File.
constexpr std::size_t end_record_size = (1 + 2 + 4 + 2 + 8 + 2 + line_end_size) + (1 + 2 + 4 + 2 + 2 + line_end_size);
// Upper address bits that no segment has: nothing written yet.
constexpr std::uint32_t no_segment = 0x10000;

// Text of one block: every line, one line split at a 64 KiB boundary, an
// address record for each of the two segments a block can touch, the end
// records, and the NUL that append_checksum leaves behind.
constexpr std::size_t block_text_size =
    (lines_per_block + 1) * record_size + 2 * address_record_size + end_record_size + 1;

std::FILE *output;          // where the text goes
std::uint32_t last_segment; // upper address bits of the last record written
std::uint32_t start_address; // that a Start Linear Address record gives before the end; 0: none
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

bool start(std::FILE *stream, const char * /*unused*/, const run_list * /*unused*/, std::uint32_t entry)
{
    output = stream;
    text_end = text;
    last_segment = no_segment;
    start_address = entry;
    return true;
}

convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    // The records so far leave first when this run's might not fit beside
    // them (with the end records and append_checksum's NUL).
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
    if (complete && start_address != 0)
        text_end = put_start_linear_address(text_end, start_address);
    if (complete)
        text_end = put_end_of_file(text_end);
    return write_text() && std::fflush(output) == 0 ? converted : write_failed;
}

} // namespace

const file_format intel_hex{"hex", "Intel HEX", "an", "hex", "", ".hex ", ".hex", "the output has only the End Of File record",
                            no_parameters, true, false, nullptr, {start, put, finish}, &intel_hex_reader, "ihex ",
                            false, nullptr, false};
