// The Intel HEX reader: every line checked before any of it is used, the
// digits decoded sixteen pairs at a time where the processor has SSE2.
#include "hex_lines.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

#if !defined(FW2HEX_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#define FW2HEX_SSE2
#include <emmintrin.h>
#endif

namespace {

// The longest line: ':', two digits a byte, CR LF.
constexpr std::size_t longest_line = 1 + 2 * longest_record_bytes + 2;
// Text is read in blocks this large; a line's rest is kept in front of the next.
constexpr std::size_t text_block = std::size_t{1} << 18;

// After a seek the reads start this small and double: stretches of a file
// out of order are often short.
constexpr std::size_t first_chunk = 4096;

// The file's text being read: a block and room for a line carried over.
char text[longest_line + text_block];
// What `text` holds: the stream, where its text begins in the file, how
// much there is, and whether the file ends there; the stream stands at its end.
struct {
    std::FILE *input;
    std::uint64_t offset;
    std::size_t size;
    bool ended;
} held = {nullptr, 0, 0, false};

constexpr unsigned not_a_digit = 0xFF;
constexpr std::array<unsigned char, 256> make_digit_values()
{
    std::array<unsigned char, 256> values{};
    for (std::size_t c = 0; c < 256; ++c)
        values[c] = c >= '0' && c <= '9'   ? static_cast<unsigned char>(c - '0')
                    : c >= 'A' && c <= 'F' ? static_cast<unsigned char>(c - 'A' + 10)
                    : c >= 'a' && c <= 'f' ? static_cast<unsigned char>(c - 'a' + 10)
                                           : static_cast<unsigned char>(not_a_digit);
    return values;
}
// Each character's value as a hexadecimal digit, or not_a_digit.
constexpr std::array<unsigned char, 256> digit_values = make_digit_values();

inline unsigned digit_value(char c)
{
    return digit_values[static_cast<unsigned char>(c)];
}

#if defined(FW2HEX_SSE2)
// The values of 16 digits, and whether all 16 are digits: c - '0' below
// 10, or (c | 0x20) - 'a' below 6, as unsigned bytes that saturate to 0.
inline __m128i nibbles(__m128i characters, bool *valid)
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
inline __m128i pair_values(__m128i values)
{
    return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 4), _mm_srli_epi16(values, 8));
}
#endif

#if defined(FW2HEX_SSE2)
// The common line, a full data record (":10AAAA00", 32 data digits, the
// checksum, a line end) with every digit valid and the checksum right, all
// at once. False for anything else, which the general reading then judges.
inline bool take_full_data_line(const char *start, const char *end, hex_record *record)
{
    constexpr std::ptrdiff_t full_line = 1 + 2 * (16 + 5) + 2; // with CR LF
    if (end - start < full_line || start[0] != ':')
        return false;
    unsigned sum = 0;
    const char after = start[43];
    if (!decode_full_line(start + 1, record->bytes, &sum) || !(after == '\n' || (after == '\r' && start[44] == '\n')))
        return false;
    if (record->bytes[0] != 16 || record->bytes[3] != 0 || (sum & 0xFF) != 0)
        return false;
    record->count = 16;
    record->offset = record->bytes[1] * 256u + record->bytes[2];
    record->type = 0;
    return true;
}
#endif

} // namespace

bool decode_pairs(const char *digits, std::size_t pairs, unsigned char *out, unsigned *sum)
{
    std::size_t i = 0;
#if defined(FW2HEX_SSE2)
    for (; i + 16 <= pairs; i += 16) {
        bool first_valid = false;
        bool second_valid = false;
        const __m128i first = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 2 * i)), &first_valid);
        const __m128i second = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 2 * i + 16)), &second_valid);
        if (!first_valid || !second_valid)
            return false;
        const __m128i bytes = _mm_packus_epi16(pair_values(first), pair_values(second));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), bytes);
        const __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
        *sum += static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    }
#endif
    for (; i < pairs; ++i) {
        const unsigned high = digit_value(digits[2 * i]);
        const unsigned low = digit_value(digits[2 * i + 1]);
        if (high == not_a_digit || low == not_a_digit)
            return false;
        out[i] = static_cast<unsigned char>(high << 4 | low);
        *sum += out[i];
    }
    return true;
}

bool decode_full_line(const char *digits, unsigned char *bytes, unsigned *sum)
{
#if defined(FW2HEX_SSE2)
    // Three loads, the last overlapping the second: pairs 0 to 7, 8 to 15,
    // and 13 to 20.
    bool first_valid = false;
    bool second_valid = false;
    bool third_valid = false;
    const __m128i first = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits)), &first_valid);
    const __m128i second = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 16)), &second_valid);
    const __m128i third = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 26)), &third_valid);
    if (!first_valid || !second_valid || !third_valid)
        return false;
    const __m128i head = _mm_packus_epi16(pair_values(first), pair_values(second));
    const __m128i tail = _mm_packus_epi16(pair_values(third), _mm_setzero_si128());
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

namespace {

// Keeps at least a whole line in the buffer when the file has one.
void fill(hex_cursor *cursor)
{
    const auto left = static_cast<std::size_t>(cursor->end - cursor->next);
    if (left >= longest_line || cursor->input_ended)
        return;
    std::memmove(text, cursor->next, left);
    cursor->buffer_offset += static_cast<std::uint64_t>(cursor->next - text);
    cursor->next = text;
    const std::size_t got = std::fread(text + left, 1, cursor->chunk, cursor->input);
    cursor->end = text + left + got;
    if (got < cursor->chunk) {
        cursor->input_ended = true;
        cursor->input_failed = std::ferror(cursor->input) != 0;
    }
    cursor->chunk = std::min(2 * cursor->chunk, text_block);
    held = {cursor->input_failed ? nullptr : cursor->input, cursor->buffer_offset,
            static_cast<std::size_t>(cursor->end - text), cursor->input_ended};
}

bool is_line_end(const char *at, const hex_cursor &cursor)
{
    return at == cursor.end || *at == '\n' || (*at == '\r' && at + 1 < cursor.end && at[1] == '\n');
}

// Why the record that should span `length` characters from `start` is not
// well formed there: a line that ends early or runs on is of the wrong
// length, anything else in it is not a digit, at `column`.
hex_fault_kind misfit(const char *start, std::size_t length, const hex_cursor &cursor, unsigned *column)
{
    for (const char *at = start + 1; at < start + length && at < cursor.end; ++at)
        if (digit_value(*at) == not_a_digit) {
            if (is_line_end(at, cursor))
                return hex_bad_length;
            *column = static_cast<unsigned>(at - start + 1);
            return hex_bad_digit;
        }
    if (start + length >= cursor.end || digit_value(start[length]) != not_a_digit)
        return hex_bad_length;
    *column = static_cast<unsigned>(length + 1);
    return hex_bad_digit;
}

// What follows a whole record on its line, when it is not the line's end:
// white space an editor left (a space or a tab, then nothing), or a DOS
// end-of-file character after an End Of File record; hex_well_formed for
// anything else.
hex_fault_kind trailer(const char *after, const hex_cursor &cursor, unsigned type)
{
    if (*after == 0x1A && type == 1 && is_line_end(after + 1, cursor))
        return hex_dos_end_of_file;
    if (*after != ' ' && *after != '\t')
        return hex_well_formed;
    const char *at = after;
    while (at < cursor.end && (*at == ' ' || *at == '\t'))
        ++at;
    return is_line_end(at, cursor) ? hex_space_after_checksum : hex_well_formed;
}

// True at the start of a file that begins with a UTF-8 byte order mark.
bool at_byte_order_mark(const char *start, const hex_cursor &cursor)
{
    return cursor.buffer_offset == 0 && start == text && cursor.end - start >= 3 && std::memcmp(start, "\xEF\xBB\xBF", 3) == 0;
}

// Names what is wrong with the record of `length` characters at `start`
// (all its digits decoded when `whole`) that does not end its line.
void name_misfit(const char *start, std::size_t length, bool whole, const hex_cursor &cursor, unsigned type,
                 hex_fault *fault)
{
    const hex_fault_kind after = whole ? trailer(start + length, cursor, type) : hex_well_formed;
    if (after != hex_well_formed)
        *fault = {after, cursor.line, 0, static_cast<unsigned char>(start[length]), 0, static_cast<unsigned>(length + 1)};
    else
        fault->kind = misfit(start, length, cursor, &fault->column);
}

// The byte count each type other than data must have.
constexpr int fixed_counts[] = {-1, 0, 2, 4, 2, 4};

} // namespace

bool start_reading(hex_cursor *cursor, std::FILE *input, std::uint64_t offset, std::uint64_t line)
{
    if (input == held.input && offset >= held.offset && offset - held.offset <= held.size) {
        const char *next = text + (offset - held.offset);
        *cursor = {input, next, text + held.size, held.offset, line, held.ended, false, text_block};
        return true;
    }
    held.input = nullptr;
    *cursor = {input, text, text, offset, line, false, false, first_chunk};
    return offset <= static_cast<std::uint64_t>(LONG_MAX) && std::fseek(input, static_cast<long>(offset), SEEK_SET) == 0;
}

std::size_t take_full_run(hex_cursor *cursor, unsigned offset, unsigned char *out, std::size_t room)
{
    std::size_t taken = 0;
#if defined(FW2HEX_SSE2)
    hex_record record{};
    for (; taken + 16 <= room && offset + 16 <= 0x10000; taken += 16, offset += 16) {
        fill(cursor);
        const char *start = cursor->next;
        if (cursor->input_failed || !take_full_data_line(start, cursor->end, &record) || record.offset != offset)
            break;
        cursor->next = start + (start[43] == '\r' ? 45 : 44);
        ++cursor->line;
        if (out != nullptr)
            std::memcpy(out + taken, record.bytes + 4, 16);
    }
#else
    (void)cursor, (void)offset, (void)out, (void)room;
#endif
    return taken;
}

std::uint32_t address_base(const hex_record &record)
{
    const std::uint32_t value = record.bytes[4] * 256u + record.bytes[5];
    return record.type == 2 ? value << 4 : value << 16;
}

std::uint64_t next_line_offset(const hex_cursor &cursor)
{
    return cursor.buffer_offset + static_cast<std::uint64_t>(cursor.next - text);
}

line_kind take_line(hex_cursor *cursor, hex_record *record, hex_fault *fault)
{
    fill(cursor);
    if (cursor->input_failed) {
        *fault = {hex_read_failed, cursor->line, 0, 0, 0, 0};
        return faulty_line;
    }
    const char *start = cursor->next;
#if defined(FW2HEX_SSE2)
    if (take_full_data_line(start, cursor->end, record)) {
        cursor->next = start + (start[43] == '\r' ? 45 : 44);
        ++cursor->line;
        return record_line;
    }
#endif
    if (start == cursor->end)
        return no_more_lines;
    if (is_line_end(start, *cursor)) {
        cursor->next = start + (*start == '\r' ? 2 : 1);
        ++cursor->line;
        return empty_line;
    }
    *fault = {hex_not_a_record, cursor->line, 0, 0, 0, 1};
    // An editor's byte order mark, before the first line.
    if (at_byte_order_mark(start, *cursor))
        fault->kind = hex_byte_order_mark;
    if (*start != ':')
        return faulty_line;
    unsigned sum = 0;
    fault->column = 0; // a fault of the line's length has none
    if (cursor->end - start < 3 || !decode_pairs(start + 1, 1, record->bytes, &sum)) {
        fault->kind = misfit(start, 3, *cursor, &fault->column); // ':' and the count's two digits
        return faulty_line;
    }
    const std::size_t length = 1 + 2 * (std::size_t{record->bytes[0]} + 5);
    const bool whole = static_cast<std::size_t>(cursor->end - start) >= length &&
                       decode_pairs(start + 3, record->bytes[0] + 4u, record->bytes + 1, &sum);
    if (!whole || !is_line_end(start + length, *cursor)) {
        name_misfit(start, length, whole, *cursor, record->bytes[3], fault);
        return faulty_line;
    }
    record->count = record->bytes[0];
    record->offset = record->bytes[1] * 256u + record->bytes[2];
    record->type = record->bytes[3];
    const unsigned checksum = record->bytes[record->count + 4];
    if ((sum & 0xFF) != 0) {
        *fault = {hex_bad_checksum, cursor->line, 0, (checksum - sum) & 0xFFu, 0, 0};
        return faulty_line;
    }
    if (record->type > 5) {
        *fault = {hex_unknown_type, cursor->line, 0, record->type, 0, 0};
        return faulty_line;
    }
    if (record->type != 0 && static_cast<int>(record->count) != fixed_counts[record->type]) {
        *fault = {hex_bad_type_length, cursor->line, 0, record->type, 0, 0};
        return faulty_line;
    }
    // An address record's value is in its data; every reader that checks
    // the address field wants it 0000.
    if (record->type >= 2 && record->offset != 0) {
        *fault = {hex_bad_address_field, cursor->line, 0, record->type, 0, 0};
        return faulty_line;
    }
    const char *line_end = start + length;
    cursor->next = line_end == cursor->end ? line_end : line_end + (*line_end == '\r' ? 2 : 1);
    ++cursor->line;
    return record_line;
}

namespace {

constexpr std::uint64_t segment_span = 0x10000;

// A data record at `offset` (line `line`) of the file: it extends the last
// stretch when it follows it in the address space, else starts one. After
// an Extended Linear Address (`linear`) a record's bytes go on past its
// 64 KiB segment, as Intel defines it and srec_cat writes them; after an
// Extended Segment Address readers disagree (Intel's wraps inside the
// segment), so such a record is refused, as before any address record.
hex_fault_kind gather_data(const hex_record &record, std::uint32_t base, bool linear, std::uint64_t offset,
                           std::uint64_t line, bool *open, hex_stretches *stretches)
{
    if (record.count == 0)
        return hex_well_formed;
    if (!linear && record.offset + record.count > segment_span)
        return hex_crosses_segment;
    if (std::uint64_t{base} + record.offset + record.count > segment_span << 16)
        return hex_passes_top;
    const std::uint32_t address = base + record.offset;
    hex_stretch *last = *open ? &stretches->items[stretches->count - 1] : nullptr;
    if (last != nullptr && last->address + last->size == address)
        last->size += record.count;
    else if (!add_stretch(stretches, {address, record.count, offset, line, base}))
        return hex_out_of_memory;
    *open = true;
    return hex_well_formed;
}

// The first pass: every line checked, the data records gathered into
// stretches in file order.
hex_fault gather(std::FILE *input, hex_stretches *stretches)
{
    hex_cursor cursor{};
    if (!start_reading(&cursor, input, 0, 1))
        return {hex_read_failed, 0, 0, 0, 0, 0};
    hex_record record{};
    hex_fault fault{};
    std::uint32_t base = 0;
    bool linear = false; // the base is an Extended Linear Address's
    bool ended = false;
    bool open = false; // the last stretch may still grow
    for (;;) {
        const std::uint64_t offset = next_line_offset(cursor);
        const std::uint64_t line = cursor.line;
        const line_kind kind = take_line(&cursor, &record, &fault);
        if (kind == no_more_lines)
            break;
        if (kind == empty_line)
            continue;
        if (ended && kind == faulty_line && *cursor.next == 0x1A)
            return {hex_dos_end_of_file, line, 0, 0, 0, 1};
        if (ended)
            return {hex_after_end, line, 0, 0, 0, 0};
        if (kind == faulty_line)
            return fault;
        switch (record.type) {
        case 0: {
            const hex_fault_kind data_fault = gather_data(record, base, linear, offset, line, &open, stretches);
            if (data_fault != hex_well_formed)
                return {data_fault, line, 0, 0, 0, 0};
            // The lines that go on from it, at once.
            if (record.count > 0)
                stretches->items[stretches->count - 1].size +=
                    take_full_run(&cursor, record.offset + record.count, nullptr, SIZE_MAX - 15);
            break;
        }
        case 1:
            ended = true;
            break;
        case 2:
        case 4:
            base = address_base(record);
            linear = record.type == 4;
            break;
        default: // start addresses: the vector table says where an STM32 starts
            break;
        }
    }
    return {ended ? hex_well_formed : hex_no_end, 0, 0, 0, 0, 0};
}

// The line of the data record of `stretch` that holds `address`.
std::uint64_t line_holding(std::FILE *input, const hex_stretch &stretch, std::uint32_t address)
{
    hex_cursor cursor{};
    if (!start_reading(&cursor, input, stretch.offset, stretch.where))
        return 0;
    hex_record record{};
    hex_fault fault{};
    std::uint32_t base = stretch.base;
    for (;;) {
        const std::uint64_t line = cursor.line;
        const line_kind kind = take_line(&cursor, &record, &fault);
        if (kind == no_more_lines || kind == faulty_line)
            return 0; // the file changed since it was checked
        if (kind == record_line && (record.type == 2 || record.type == 4))
            base = address_base(record);
        if (kind == record_line && record.type == 0 && address - (base + record.offset) < record.count)
            return line;
    }
}

} // namespace

hex_fault read_hex_file(std::FILE *input, hex_stretches *stretches)
{
    // A stream read for the first time: text held from another, closed
    // since, may be at the same address.
    held.input = nullptr;
    hex_fault fault = gather(input, stretches);
    if (fault.kind != hex_well_formed)
        return fault;
    const hex_stretch *first = nullptr;
    const hex_stretch *second = nullptr;
    std::uint32_t address = 0;
    if (!sort_stretches(stretches, &first, &second, &address))
        return fault;
    const std::uint64_t other = line_holding(input, *first, address);
    return {hex_shared_address, std::max(other, second->where), std::min(other, second->where), 0, address, 0};
}

bool is_hex_record(const char *text, std::size_t length)
{
    hex_record record{};
    unsigned sum = 0;
    if (length < 11 || length > 1 + 2 * longest_record_bytes || length % 2 == 0 || text[0] != ':' || !decode_pairs(text + 1, (length - 1) / 2, record.bytes, &sum))
        return false;
    const unsigned count = record.bytes[0];
    const unsigned type = record.bytes[3];
    const bool fixed = type == 0 || (type <= 5 && static_cast<int>(count) == fixed_counts[type]);
    const bool address_field = type < 2 || (record.bytes[1] == 0 && record.bytes[2] == 0);
    // cppcheck-suppress knownConditionTrueFalse ; decode_pairs has filled record.bytes
    return length == 1 + 2 * (std::size_t{count} + 5) && (sum & 0xFF) == 0 && fixed && address_field;
}

namespace {

// The stretch being handed over.
struct {
    hex_cursor cursor;
    hex_record record;
    std::uint32_t base;           // of the records at the cursor
    std::uint64_t next;           // the address the next data record must have
    std::uint64_t left;           // bytes of the stretch not yet decoded
    pending_bytes pending;        // decoded, not yet handed over
    bool in_run;                  // full lines may go on at the offset field `run_offset`
    unsigned run_offset;
} taking;

} // namespace

bool start_hex_stretch(std::FILE *input, const hex_stretch &stretch)
{
    taking.base = stretch.base;
    taking.next = stretch.address;
    taking.left = stretch.size;
    taking.pending.size = 0;
    taking.in_run = false;
    return start_reading(&taking.cursor, input, stretch.offset, 0);
}

convert_result take_hex_bytes(unsigned char *out, std::size_t room, std::size_t *taken)
{
    std::size_t count = 0;
    while (count < room && (taking.pending.size > 0 || taking.left > 0)) {
        if (taking.pending.size > 0) {
            hand_over(&taking.pending, out, room, &count);
            continue;
        }
        // The full lines that go on from a record, decoded straight into `out`.
        if (taking.in_run) {
            const std::size_t size = take_full_run(&taking.cursor, taking.run_offset, out + count,
                                                   static_cast<std::size_t>(std::min<std::uint64_t>(room - count, taking.left)));
            taking.in_run = size > 0;
            taking.run_offset += static_cast<unsigned>(size);
            taking.next += size;
            taking.left -= size;
            count += size;
            continue;
        }
        hex_record &record = taking.record;
        hex_fault fault{};
        const line_kind kind = take_line(&taking.cursor, &record, &fault);
        if (kind == faulty_line && fault.kind == hex_read_failed)
            return read_failed;
        if (kind == faulty_line || kind == no_more_lines || (kind == record_line && record.type == 1))
            return image_changed;
        if (kind != record_line || record.count == 0 || (record.type != 0 && record.type != 2 && record.type != 4))
            continue;
        if (record.type != 0) {
            taking.base = address_base(record);
            continue;
        }
        if (std::uint64_t{taking.base} + record.offset != taking.next || record.count > taking.left)
            return image_changed;
        taking.pending = {record.bytes + 4, record.count};
        taking.next += record.count;
        taking.left -= record.count;
        taking.in_run = true;
        taking.run_offset = record.offset + record.count;
    }
    *taken = count;
    return converted;
}
