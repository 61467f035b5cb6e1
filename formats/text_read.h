// The engine both text formats (Intel HEX, S-records) are read through.
// It owns the line: the buffered text with a line's rest carried over and
// reused after a seek, LF or CR LF, the UTF-8 byte order mark, white space
// after a record, the DOS end-of-file character, each fault's line and
// column, a full line's digits decoded at once, records joined into
// stretches, and the take. A format adds only its record rules.
#ifndef FW2HEX_TEXT_READ_H
#define FW2HEX_TEXT_READ_H

#include <cstddef>
#include <cstdint>

#include "convert/part.h"

#if !defined(FW2HEX_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#define FW2HEX_SSE2
#include <emmintrin.h>
#endif

// The longest line either format holds, without its line end: Intel HEX's
// ':' and two digits for each of a record's 260 bytes.
constexpr std::size_t longest_text_line = 1 + 2 * 260;

// One record, its digits decoded and its checksum checked.
struct text_record {
    unsigned type;            // as the format numbers its records
    std::uint32_t field;      // its address field
    bool holds_data;          // a data record
    unsigned count;           // its data bytes; 0 for a record of another kind
    const unsigned char *data;
    unsigned char bytes[260]; // all of its bytes, decoded
};

// What the records before a line set for it.
struct text_context {
    std::uint32_t base;          // what a data record's address field adds to
    std::uint32_t resume;        // what a stretch that starts here keeps to be read again from there
    std::uint64_t line;          // of the record being checked
    bool first;                  // no record came before
    bool ended;                  // the end record came before
    bool last_held_data;         // the record before held data
    bool check_each;             // every data record is checked, even within field_span
    std::uint64_t data_records;  // how many data records came before
    std::uint32_t entry;         // the start address the last record that gives one gave; 0: none
    // Intel HEX's own: the bases its two kinds of address record set, and
    // their lines; whether the last one was an Extended Linear Address.
    std::uint32_t segment_base, linear_base;
    std::uint64_t segment_line, linear_line;
    bool linear;
};

// A text format's record rules.
struct text_rules {
    char start;             // the character every record starts with
    const char *end_record; // as faults name the record that ends the file
    // The common line at `start` (`available` characters there), a full
    // data record, decoded at once: the characters it takes with its line
    // end, or 0 when it is anything else, which `parse` then judges.
    std::size_t (*full_line)(const char *start, std::size_t available, text_record *record);
    // Decodes and checks the `length` characters at `line`, a line without
    // its end: true with `record`, false with the fault's text and column.
    bool (*parse)(const char *line, std::size_t length, text_record *record, part_fault *fault);
    // Checks a record of the first reading against `context`, and sets for
    // the records after it what it sets; false with `fault` set.
    bool (*check)(const text_record &record, text_context *context, part_fault *fault);
    // A data record whose address field and count stay within this span
    // passes every check: the common line goes by without one.
    std::uint64_t field_span;
    // Sets the base that a record sets for those after it, when it reads a
    // stretch again.
    void (*follow)(const text_record &record, text_context *context);
    // Sets the context of a stretch read again from what it kept.
    void (*resume)(std::uint32_t kept, text_context *context);
    // The record after which nothing but empty lines may follow.
    bool (*ends_file)(const text_record &record);
    // The fault of a file without that record; null when it may have none.
    const char *missing_end;
    // The fault of a file whose last record holds data; null when it may.
    const char *ends_with_data;
};

// The part reader's read, open and take of a text format.
part_fault read_text(part_cursor *cursor, const text_rules &rules, part_stretches *stretches);
bool open_text(part_cursor *cursor, const text_rules &rules, const part_stretch &stretch, bool resumed);
convert_result take_text(part_cursor *cursor, unsigned char *out, std::size_t room, std::size_t *taken);

// The part reader's recognise of a text format.
bool recognise_text(const unsigned char *head, std::size_t size, recognition how, const text_rules &rules);

// The part reader of the text format of `rules`.
template <const text_rules &rules> struct text_reader {
    static bool recognise(const unsigned char *head, std::size_t size, recognition how)
    {
        return recognise_text(head, size, how, rules);
    }
    static part_fault read(part_cursor *cursor, std::uint64_t /*unused*/, part_stretches *stretches)
    {
        return read_text(cursor, rules, stretches);
    }
    static bool open(part_cursor *cursor, const part_stretch &stretch, bool resumed)
    {
        return open_text(cursor, rules, stretch, resumed);
    }
    static constexpr part_reader reader{recognise, read, open, take_text};
};

// Decodes `pairs` digit pairs (upper or lower case) into `out` and adds the
// bytes to `sum`; false at a character that is not a hexadecimal digit.
bool decode_pairs(const char *digits, std::size_t pairs, unsigned char *out, unsigned *sum);

#if defined(FW2HEX_SSE2)
// The values of 16 digits, and whether all 16 are digits: c - '0' below
// 10, or (c | 0x20) - 'a' below 6, as unsigned bytes that saturate to 0.
inline __m128i digit_nibbles(__m128i characters, bool *valid)
{
    const __m128i decimal_value = _mm_sub_epi8(characters, _mm_set1_epi8('0'));
    const __m128i letter_value = _mm_sub_epi8(_mm_or_si128(characters, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i zero = _mm_setzero_si128();
    const __m128i decimal = _mm_cmpeq_epi8(_mm_subs_epu8(decimal_value, _mm_set1_epi8(9)), zero);
    const __m128i letter = _mm_cmpeq_epi8(_mm_subs_epu8(letter_value, _mm_set1_epi8(5)), zero);
    *valid = _mm_movemask_epi8(_mm_or_si128(decimal, letter)) == 0xFFFF;
    return _mm_or_si128(_mm_and_si128(decimal, decimal_value),
                        _mm_and_si128(letter, _mm_add_epi8(letter_value, _mm_set1_epi8(10))));
}

// Each pair's first digit is the high nibble: in a 16-bit lane, the low byte.
inline __m128i digit_pair_values(__m128i values)
{
    return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 4), _mm_srli_epi16(values, 8));
}
#endif



// Decodes the 42 digits of a full line (21 bytes: an Intel HEX data record
// of 16 bytes after its ':', an S3 record of 16 after its "S3") into
// `bytes`, and their sum into `sum`, at once where the processor has SSE2;
// false at a character that is not a hexadecimal digit.
inline bool decode_full_line(const char *digits, unsigned char *bytes, unsigned *sum)
{
#if defined(FW2HEX_SSE2)
    // Three loads, the last overlapping the second: pairs 0 to 7, 8 to 15,
    // and 13 to 20.
    bool first_valid = false;
    bool second_valid = false;
    bool third_valid = false;
    const __m128i first = digit_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits)), &first_valid);
    const __m128i second = digit_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 16)), &second_valid);
    const __m128i third = digit_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 26)), &third_valid);
    if (!first_valid || !second_valid || !third_valid)
        return false;
    const __m128i head = _mm_packus_epi16(digit_pair_values(first), digit_pair_values(second));
    const __m128i tail = _mm_packus_epi16(digit_pair_values(third), _mm_setzero_si128());
    _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes), head);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(bytes + 13), tail);
    // Of the tail, only pairs 16 to 20 are new.
    const __m128i new_tail = _mm_and_si128(tail, _mm_set_epi32(0, 0, -1, static_cast<int>(0xFF000000u)));
    const __m128i sums = _mm_add_epi64(_mm_sad_epu8(head, _mm_setzero_si128()), _mm_sad_epu8(new_tail, _mm_setzero_si128()));
    *sum = static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    return true;
#else
    *sum = 0;
    return decode_pairs(digits, 21, bytes, sum);
#endif
}


// The length of the line end at `at` (LF or CR LF) of `available`
// characters, or 0 when there is none.
inline std::size_t line_end_at(const char *at, std::size_t available)
{
    if (available >= 1 && at[0] == '\n')
        return 1;
    return available >= 2 && at[0] == '\r' && at[1] == '\n' ? 2 : 0;
}

// Where on `line` the first character that is not a hexadecimal digit
// lies, from `from`, before `length`; `length` when there is none.
std::size_t first_non_digit(const char *line, std::size_t from, std::size_t length);

#endif
