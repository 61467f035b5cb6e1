// Intel HEX record text: ':' LL AAAA TT data CC, all digits uppercase.
#include "records.h"

#include <array>
#include <cstring>

#if !defined(FW2HEX_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#define FW2HEX_SSE2
#include <emmintrin.h>
#endif

namespace {

// "000102...FEFF": the two digits of every byte value, copied with memcpy
// so that no formatted print runs per byte.
constexpr std::array<char, 512> make_digit_pairs()
{
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<char, 512> pairs{};
    for (std::size_t value = 0; value < 256; ++value) {
        pairs[2 * value] = digits[value >> 4];
        pairs[2 * value + 1] = digits[value & 0xF];
    }
    return pairs;
}
constexpr std::array<char, 512> digit_pairs = make_digit_pairs();

constexpr char record_start = ':';
constexpr unsigned data_type = 0x00;
constexpr char extended_linear_address_head[] = ":02000004";
constexpr char end_of_file_head[] = ":00000001";

inline char *put_byte(char *out, unsigned value)
{
    std::memcpy(out, &digit_pairs[std::size_t{2} * (value & 0xFF)], 2);
    return out + 2;
}

// The 32 digits of a full line and the line's byte sum. Vector code does
// the whole line at once where the host is known to have SSE2 (every
// x86-64); elsewhere, or built with FW2HEX_PORTABLE, the digit table does.
#if defined(FW2HEX_SSE2)
inline unsigned put_line_digits(char *out, const unsigned char *line)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(line));
    const __m128i low_nibble = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
    const __m128i low = _mm_and_si128(bytes, low_nibble);
    // Nibble n becomes '0' + n, and 7 more when n > 9: 'A' to 'F'.
    const auto to_digits = [](__m128i nibbles) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)),
                                              _mm_set1_epi8('A' - '9' - 1));
        return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
    };
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), to_digits(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), to_digits(_mm_unpackhi_epi8(high, low)));
    const __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
}
#else
inline unsigned put_line_digits(char *out, const unsigned char *line)
{
    unsigned char copy[line_size]; // a local copy the output cannot alias
    std::memcpy(copy, line, line_size);
    unsigned sum = 0;
    for (std::size_t i = 0; i < line_size; ++i) {
        out = put_byte(out, copy[i]);
        sum += copy[i];
    }
    return sum;
}
#endif

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
