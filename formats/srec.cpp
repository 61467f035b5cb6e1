// Motorola S-records: an S0 header with the output's name, one S3 record
// (32-bit address) per record the Intel HEX output would hold, at the same
// address with the same bytes, and an S7 record with the start address to
// end, as objcopy writes them (no S5 count).
#include <cstring>

#include "formats.h"
#include "text.h"

namespace {

// Longest record: "S3", count, 8 address digits, 2 digits per data byte,
// checksum, line end.
constexpr std::size_t record_size = 2 + 2 + 8 + 2 * line_size + 2 + line_end_size;
// An S0 record holds at most 255 bytes: the count's, the address's two,
// the name's and the checksum's. A longer name is cut.
constexpr std::size_t longest_name = 255 - 2 - 1;
constexpr std::size_t header_size = 2 + 2 + 4 + 2 * longest_name + 2 + line_end_size;
static_assert(header_size < block_size, "the header fits in the buffer beside nothing else");
// Text of one block: a record per line and one line split at a 64 KiB
// boundary.
constexpr std::size_t block_text_size = (block_size / line_size + 1) * record_size;
constexpr std::size_t end_record_size = 2 + 2 + 8 + 2 + line_end_size;

std::FILE *output; // where the text goes
// The records not yet written: a block's, or the runs of several that
// omission left small, which leave together.
char text[block_text_size + end_record_size];
char *text_end; // of the records in `text`
std::uint32_t start_address; // that the S7 record gives: 0, as objcopy writes it, when none is known

// The most text a run of `count` bytes (at most a block) can take.
constexpr std::size_t text_bound(std::size_t count)
{
    return ((count + line_size - 1) / line_size + 1) * record_size;
}

bool write_text()
{
    const bool written = write_bytes(output, text, static_cast<std::size_t>(text_end - text));
    text_end = text;
    return written;
}

// One record of type `type` ('0' to '9') with a 16-bit (S0) or 32-bit
// address: the checksum is the one's complement of the low byte of the sum
// of the count, address and data bytes.
char *put_record(char *out, char type, std::uint32_t address, std::size_t address_size, const unsigned char *bytes,
                 std::size_t count)
{
    const auto length = static_cast<unsigned>(address_size + count + 1);
    unsigned sum = length;
    *out++ = 'S';
    *out++ = type;
    out = put_byte(out, length);
    for (std::size_t i = address_size; i-- > 0;) {
        out = put_byte(out, address >> (8 * i));
        sum += (address >> (8 * i)) & 0xFFu;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out = put_byte(out, bytes[i]);
        sum += bytes[i];
    }
    out = put_byte(out, ~sum);
    std::memcpy(out, line_end, line_end_size);
    return out + line_end_size;
}

// Full lines of 16 bytes: the digits and their sum formatted at once.
constexpr char full_line_head[] = {'S', '3', '1', '5'}; // 4 address bytes, 16 data bytes, the checksum
char *put_full_lines(char *out, std::uint32_t address, const unsigned char *bytes, std::size_t lines)
{
    for (; lines > 0; --lines, bytes += line_size, address += line_size) {
        std::memcpy(out, full_line_head, sizeof full_line_head);
        unsigned sum = 4 + line_size + 1;
        for (std::size_t i = 0; i < 4; ++i) {
            put_byte(out + 4 + 2 * i, address >> (24 - 8 * i));
            sum += (address >> (24 - 8 * i)) & 0xFFu;
        }
        sum += put_line_digits(out + 12, bytes);
        put_byte(out + 12 + 2 * line_size, ~sum);
        std::memcpy(out + record_size - line_end_size, line_end, line_end_size);
        out += record_size;
    }
    return out;
}

bool start(std::FILE *stream, const char *name, const run_list * /*unused*/, std::uint32_t entry)
{
    output = stream;
    start_address = entry;
    const std::size_t name_size = std::min(std::strlen(name), longest_name);
    text_end = put_record(text, '0', 0, 2, reinterpret_cast<const unsigned char *>(name), name_size);
    return true;
}

convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    // The records so far leave first when this run's might not fit beside
    // them (with the S7 record).
    if (text_bound(count) > static_cast<std::size_t>(text + sizeof text - text_end) - end_record_size && !write_text())
        return write_failed;
    char *out = text_end;
    split_records(
        address, bytes, count,
        [&](std::uint32_t at, const unsigned char *line, std::size_t lines) { out = put_full_lines(out, at, line, lines); },
        [&](std::uint32_t at, const unsigned char *record, std::size_t size) {
            out = put_record(out, '3', at, 4, record, size);
        });
    text_end = out;
    return converted;
}

convert_result finish(bool complete)
{
    if (complete)
        text_end = put_record(text_end, '7', start_address, 4, nullptr, 0);
    return write_text() && std::fflush(output) == 0 ? converted : write_failed;
}

} // namespace

const file_format s_records{"srec", "S-record", "an", "srec", "", ".srec .s19 .s28 .s37 .mot ", ".srec",
                            "the output has only its S0 and S7 records", no_parameters, true, false, nullptr,
                            {start, put, finish}, &s_record_reader, "", false, nullptr, false};
