// The text formats' reading engine: lines through one buffer, faults at
// their line and column, records gathered into stretches and taken again.
#include "text_read.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstring>

namespace {

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

} // namespace

bool decode_pairs(const char *digits, std::size_t pairs, unsigned char *out, unsigned *sum)
{
    std::size_t i = 0;
#if defined(FW2HEX_SSE2)
    for (; i + 16 <= pairs; i += 16) {
        bool first_valid = false;
        bool second_valid = false;
        const __m128i first = digit_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 2 * i)), &first_valid);
        const __m128i second = digit_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(digits + 2 * i + 16)), &second_valid);
        if (!first_valid || !second_valid)
            return false;
        const __m128i bytes = _mm_packus_epi16(digit_pair_values(first), digit_pair_values(second));
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

std::size_t first_non_digit(const char *line, std::size_t from, std::size_t length)
{
    while (from < length && digit_value(line[from]) != not_a_digit)
        ++from;
    return from;
}

namespace {

// A line and its end.
constexpr std::size_t longest_line = longest_text_line + 2;
// Text is read in blocks this large; a line's rest is kept in front of the next.
constexpr std::size_t text_block = std::size_t{1} << 18;
// After a seek the reads start this small and double: the stretches of a
// file taken out of order are often short.
constexpr std::size_t first_chunk = 4096;

// A text reader's state in its cursor: the text, where it stands, and the
// stretch it hands over.
struct text_cursor {
    const text_rules *rules;
    std::uint64_t buffer_offset; // where in the file text[0] lies
    std::size_t next;            // the first character not yet taken
    std::size_t end;             // of the text held
    std::uint64_t line;          // the number of the line at `next`
    std::size_t chunk;           // what the next read asks for
    bool ended;                  // nothing more to read after `end`
    bool failed;                 // the stream reported an error

    text_context context;        // of the records at `next`
    std::uint64_t address;       // of the stretch's next byte
    std::uint64_t left;          // bytes of the stretch not yet decoded
    pending_bytes pending;       // decoded, not yet handed over
    text_record record;
    char text[longest_line + text_block];
};

text_cursor &text_of(part_cursor *cursor)
{
    return cursor_state<text_cursor>(cursor);
}

// Starts reading at `offset` of the file, the start of line `line`. When
// `resumed`, text the cursor holds there is used again: the stream has not
// moved since it was read. False when the file cannot be reached there.
bool start_at(text_cursor *text, std::FILE *input, std::uint64_t offset, std::uint64_t line, bool resumed)
{
    text->line = line;
    if (resumed && offset >= text->buffer_offset && offset - text->buffer_offset <= text->end) {
        text->next = static_cast<std::size_t>(offset - text->buffer_offset);
        return !text->failed;
    }
    text->buffer_offset = offset;
    text->next = text->end = 0;
    text->chunk = first_chunk;
    text->ended = text->failed = false;
    return seek_to(input, offset);
}

// Keeps at least a whole line in the buffer when the file has one.
void fill(text_cursor *text, std::FILE *input)
{
    const std::size_t left = text->end - text->next;
    if (left >= longest_line || text->ended)
        return;
    std::memmove(text->text, text->text + text->next, left);
    text->buffer_offset += text->next;
    text->next = 0;
    const std::size_t got = std::fread(text->text + left, 1, text->chunk, input);
    text->end = left + got;
    if (got < text->chunk) {
        text->ended = true;
        text->failed = std::ferror(input) != 0;
    }
    text->chunk = std::min(2 * text->chunk, text_block);
}

enum line_kind { record_line, empty_line, no_more_lines, faulty_line, failed_line };

// Names what follows a whole record on its line, when that is all that is
// wrong with it: white space an editor left, or a DOS end-of-file character
// after the end record.
void name_trailer(const text_rules &rules, const char *line, std::size_t length, part_fault *fault)
{
    std::size_t whole = length;
    while (whole > 0 && (line[whole - 1] == ' ' || line[whole - 1] == '\t'))
        --whole;
    const bool dos_end = whole == length && length > 0 && line[length - 1] == 0x1A;
    text_record record{};
    part_fault unused{};
    if ((whole == length && !dos_end) || !rules.parse(line, dos_end ? length - 1 : whole, &record, &unused) ||
        (dos_end && !rules.ends_file(record)))
        return;
    if (dos_end)
        *fault = make_fault(part_malformed, 0, "a DOS end-of-file character (0x1A) after the %s", rules.end_record);
    else
        *fault = make_fault(part_malformed, 0, "a %s after the checksum", line[whole] == '\t' ? "tab" : "space");
    fault->column = dos_end ? length : whole + 1;
}

// Takes the next line, a record into the cursor's `record`. A faulty line
// sets `fault` (at the cursor's line) and leaves the cursor on it.
line_kind take_line(text_cursor *text, std::FILE *input, part_fault *fault)
{
    text_record *record = &text->record;
    fill(text, input);
    if (text->failed)
        return failed_line;
    const char *start = text->text + text->next;
    const std::size_t available = text->end - text->next;
    if (available == 0)
        return no_more_lines;
    const std::size_t full = text->rules->full_line(start, available, record);
    if (full > 0) {
        text->next += full;
        ++text->line;
        return record_line;
    }
    // A line longer than any record is judged by what the buffer holds of it.
    const std::size_t window = std::min(available, longest_line);
    const auto *newline = static_cast<const char *>(std::memchr(start, '\n', window));
    std::size_t length = newline != nullptr ? static_cast<std::size_t>(newline - start) : window;
    const std::size_t taken = newline != nullptr ? length + 1 : window;
    if (newline != nullptr && length > 0 && start[length - 1] == '\r')
        --length;
    if (length == 0) {
        text->next += taken;
        ++text->line;
        return empty_line;
    }
    if (text->buffer_offset + text->next == 0 && length >= 3 && std::memcmp(start, "\xEF\xBB\xBF", 3) == 0) {
        *fault = make_fault(part_malformed, text->line, "a UTF-8 byte order mark (saved by an editor?)");
        fault->column = 1;
        return faulty_line;
    }
    if (!text->rules->parse(start, length, record, fault)) {
        name_trailer(*text->rules, start, length, fault);
        fault->line = text->line;
        return faulty_line;
    }
    text->next += taken;
    ++text->line;
    return record_line;
}

std::uint64_t offset_of(const text_cursor &text)
{
    return text.buffer_offset + text.next;
}

// The line of a data record of `stretch` that holds `address`; 0 when the
// file changed since it was checked.
std::uint64_t line_holding(text_cursor *text, std::FILE *input, const part_stretch &stretch, std::uint32_t address)
{
    if (!start_at(text, input, stretch.offset, stretch.number, false))
        return 0;
    text_context context{};
    text->rules->resume(stretch.detail, &context);
    part_fault fault;
    for (;;) {
        const std::uint64_t line = text->line;
        const line_kind kind = take_line(text, input, &fault);
        if (kind != record_line && kind != empty_line)
            return 0;
        const text_record &record = text->record;
        if (kind == empty_line)
            continue;
        text->rules->follow(record, &context);
        if (record.holds_data && address - (context.base + record.field) < record.count)
            return line;
    }
}

// A data record that passed its checks, at line `line` from `offset`: it
// lengthens the last stretch when it goes on from it, else starts one.
bool gather(const text_record &record, const text_context &context, std::uint64_t offset, std::uint64_t line,
            part_stretches *stretches)
{
    const std::uint32_t address = context.base + record.field;
    if (stretches->count > 0) {
        part_stretch &last = stretches->items[stretches->count - 1];
        if (last.address + last.size == address) {
            last.size += record.count;
            return true;
        }
    }
    return add_stretch(stretches, {address, record.count, offset, line, context.resume});
}

// True for a data record that no rule of the format could refuse.
bool passes_unchecked(const text_rules &rules, const text_record &record)
{
    return record.holds_data && std::uint64_t{record.field} + record.count <= rules.field_span;
}

// The fault of a line after the end record; `dos_end` when it is a DOS
// end-of-file character.
part_fault after_end(const text_rules &rules, bool dos_end, std::uint64_t line)
{
    if (dos_end) {
        part_fault fault = make_fault(part_malformed, line, "a DOS end-of-file character (0x1A) after the %s",
                                      rules.end_record);
        fault.column = 1;
        return fault;
    }
    return make_fault(part_malformed, line, "a record after the %s (two files joined into one?)", rules.end_record);
}

// Reads every line from the cursor on, checks each record against those
// before it (`context`), and gathers the data; the first fault.
part_fault read_records(text_cursor *text, std::FILE *input, text_context *context, part_stretches *stretches)
{
    const text_rules &rules = *text->rules;
    const text_record &record = text->record;
    part_fault fault; // set where a line is refused
    for (;;) {
        const std::uint64_t offset = offset_of(*text);
        const std::uint64_t line = text->line;
        const line_kind kind = take_line(text, input, &fault);
        if (kind == no_more_lines)
            return {part_well_formed, 0, 0, {}};
        if (kind == failed_line)
            return {part_read_failed, 0, 0, {}};
        if (kind == empty_line)
            continue;
        if (context->ended)
            return after_end(rules, kind == faulty_line && text->text[text->next] == 0x1A, line);
        if (kind == faulty_line)
            return fault;
        context->line = line;
        if ((context->check_each || !passes_unchecked(rules, record)) && !rules.check(record, context, &fault)) {
            fault.line = line;
            return fault;
        }
        context->first = false;
        context->last_held_data = record.holds_data;
        if (!record.holds_data) {
            context->ended = rules.ends_file(record);
            continue;
        }
        ++context->data_records;
        if (record.count > 0 && !gather(record, *context, offset, line, stretches))
            return {part_out_of_memory, 0, 0, {}};
    }
}

} // namespace

part_fault read_text(part_cursor *cursor, const text_rules &rules, part_stretches *stretches)
{
    text_cursor &text = text_of(cursor);
    text.rules = &rules;
    std::FILE *input = cursor->input;
    if (!start_at(&text, input, 0, 1, false))
        return {part_read_failed, 0, 0, {}};
    text_context context{};
    context.first = true;
    const part_fault fault = read_records(&text, input, &context, stretches);
    if (fault.verdict != part_well_formed)
        return fault;
    if (!context.ended && rules.missing_end != nullptr)
        return make_fault(part_malformed, 0, "%s", rules.missing_end);
    if (context.last_held_data && rules.ends_with_data != nullptr)
        return make_fault(part_malformed, 0, "%s", rules.ends_with_data);
    stretches->entry = context.entry;
    const part_stretch *first = nullptr;
    const part_stretch *second = nullptr;
    std::uint32_t address = 0;
    if (!sort_stretches(stretches, &first, &second, &address))
        return {part_well_formed, 0, 0, {}};
    const std::uint64_t second_line = second->number;
    const std::uint64_t other = line_holding(&text, input, *first, address);
    return make_fault(part_malformed, std::max(other, second_line), "data records share the address 0x%X with line %" PRIu64,
                      address, std::min(other, second_line));
}

bool open_text(part_cursor *cursor, const text_rules &rules, const part_stretch &stretch, bool resumed)
{
    text_cursor &text = text_of(cursor);
    text.rules = &rules;
    text.context = {};
    rules.resume(stretch.detail, &text.context);
    text.address = stretch.address;
    text.left = stretch.size;
    text.pending.size = 0;
    return start_at(&text, cursor->input, stretch.offset, stretch.number, resumed);
}

convert_result take_text(part_cursor *cursor, unsigned char *out, std::size_t room, std::size_t *taken)
{
    text_cursor &text = text_of(cursor);
    text_record &record = text.record;
    std::size_t count = 0;
    part_fault fault; // of a line that no longer reads as it did
    while (count < room && (text.pending.size > 0 || text.left > 0)) {
        if (text.pending.size > 0) {
            hand_over(&text.pending, out, room, &count);
            continue;
        }
        const line_kind kind = take_line(&text, cursor->input, &fault);
        if (kind == failed_line)
            return read_failed;
        if (kind == faulty_line || kind == no_more_lines)
            return image_changed;
        if (kind == empty_line)
            continue;
        if (!record.holds_data && text.rules->ends_file(record))
            return image_changed;
        if (!record.holds_data)
            text.rules->follow(record, &text.context);
        if (record.count == 0)
            continue;
        if (std::uint64_t{text.context.base} + record.field != text.address || record.count > text.left)
            return image_changed;
        // Straight into `out` when it has room, the common case.
        if (record.count <= room - count) {
            std::memcpy(out + count, record.data, record.count);
            count += record.count;
        } else {
            text.pending = {record.data, record.count};
        }
        text.address += record.count;
        text.left -= record.count;
    }
    *taken = count;
    return converted;
}

bool recognise_text(const unsigned char *head, std::size_t size, recognition how, const text_rules &rules)
{
    if (first_visible(head, size) != rules.start)
        return false;
    if (how == by_text)
        return is_text(head, size);
    const char *line = nullptr;
    std::size_t length = 0;
    text_record record{};
    part_fault fault{};
    return how == by_first_character ||
           (first_line(head, size, &line, &length) && rules.parse(line, length, &record, &fault));
}
