// Intel HEX record text: ':' LL AAAA TT data CC, all digits uppercase.
#include "records.h"

#include <cstring>

namespace {

constexpr char record_start = ':';
constexpr unsigned data_type = 0x00;
constexpr char extended_linear_address_head[] = ":02000004";
constexpr char end_of_file_head[] = ":00000001";

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

char *put_end_of_file(char *out)
{
    std::memcpy(out, end_of_file_head, sizeof end_of_file_head);
    append_checksum(out);
    return out + sizeof end_of_file_head - 1 + 2 + line_end_size;
}
