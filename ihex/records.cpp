// Intel HEX record text: ':' LL AAAA TT data CC, all digits uppercase.
#include "records.h"

#include <array>
#include <cstring>

namespace {

// "000102...FEFF": the two digits of every byte value, copied with memcpy
// so that no formatted print runs per byte.
constexpr std::array<char, 512> make_digit_pairs()
{
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<char, 512> pairs{};
    for (unsigned value = 0; value < 256; ++value) {
        pairs[2 * value] = digits[value >> 4];
        pairs[2 * value + 1] = digits[value & 0xF];
    }
    return pairs;
}
constexpr std::array<char, 512> digit_pairs = make_digit_pairs();

constexpr char record_start = ':';
constexpr char data_type[] = "00";
constexpr char extended_linear_address_head[] = ":02000004";
constexpr char end_of_file_head[] = ":00000001";

inline char *put_byte(char *out, unsigned value)
{
    std::memcpy(out, &digit_pairs[2 * (value & 0xFF)], 2);
    return out + 2;
}

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
    cursor[0] = '\n';
    cursor[1] = '\0';
}

char *put_data_record(char *out, std::uint16_t address, const unsigned char *bytes,
                      std::size_t count)
{
    // The checksum is the two's complement of the byte sum, summed in the
    // same pass that formats the bytes.
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFFu);
    *out++ = record_start;
    out = put_byte(out, static_cast<unsigned>(count));
    out = put_byte(out, address >> 8);
    out = put_byte(out, address);
    std::memcpy(out, data_type, 2);
    out += 2;
    for (std::size_t i = 0; i < count; ++i) {
        out = put_byte(out, bytes[i]);
        sum += bytes[i];
    }
    out = put_byte(out, 0u - sum);
    *out++ = '\n';
    return out;
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
    return body_end + 3;
}

char *put_end_of_file(char *out)
{
    std::memcpy(out, end_of_file_head, sizeof end_of_file_head);
    append_checksum(out);
    return out + sizeof end_of_file_head - 1 + 3;
}
