// What the text formats (Intel HEX, S-records) share: uppercase digit pairs
// from a small constant table, a whole line of 16 bytes formatted at once,
// and the line end.
#ifndef FW2HEX_TEXT_H
#define FW2HEX_TEXT_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "convert/blank.h"

#if !defined(FW2HEX_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#define FW2HEX_SSE2
#include <emmintrin.h>
#endif

// Each line's end: CR LF on Windows, as its flashers and editors expect, LF
// elsewhere. The output is written as bytes, with no text-mode
// translation, which would split every write.
#ifdef _WIN32
constexpr char line_end[] = "\r\n";
#else
constexpr char line_end[] = "\n";
#endif
constexpr std::size_t line_end_size = sizeof line_end - 1;

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
inline constexpr std::array<char, 512> digit_pairs = make_digit_pairs();

// The two digits of the low byte of `value`; the end of what it wrote.
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

// The records of a run of bytes at `address`, as both text formats split
// them: lines of 16 bytes from the run's first byte, and none across a
// 64 KiB boundary (an Intel HEX reader adds a record's 16-bit offset to one
// segment base only), the full lines up to a boundary in one call of
// `full_lines(address, bytes, lines)`, any other record in one call of
// `record(address, bytes, count)`.
template <class FullLines, class Record>
void split_records(std::uint32_t address, const unsigned char *bytes, std::size_t count, FullLines full_lines,
                   Record record)
{
    for (std::size_t n = 0; n < count;) {
        const auto at = static_cast<std::uint32_t>(address + n);
        const std::size_t room = block_size - (at & 0xFFFFu); // bytes to the next boundary
        const std::size_t lines = std::min(count - n, room) / line_size;
        if (lines > 0) {
            full_lines(at, bytes + n, lines);
            n += lines * line_size;
            continue;
        }
        const std::size_t length = std::min(count - n, line_size);
        if (length > room) {
            record(at, bytes + n, room);
            record(static_cast<std::uint32_t>(at + room), bytes + n + room, length - room);
        } else {
            record(at, bytes + n, length);
        }
        n += length;
    }
}

#endif
