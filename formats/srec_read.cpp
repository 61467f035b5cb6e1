// The S-record reader: Motorola S-records as objcopy and srec_cat write
// and read them, every line checked before any of it is used.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <climits>
#include <cstring>

#include "formats.h"
#include "ihex/hex_lines.h"

namespace {

// The longest line: "S", the type, two digits a byte (count, address,
// data, checksum: 256 at most), CR LF.
constexpr std::size_t longest_line = 2 + 2 * 256 + 2;
// Text is read in blocks this large; a line's rest is kept in front of the next.
constexpr std::size_t text_block = std::size_t{1} << 18;

// The bytes of each type's address, 0 for S4 (refused) and types that are
// not digits.
constexpr unsigned address_sizes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// One record, its digits decoded and its checksum checked.
struct srec_record {
    unsigned type;           // 0 to 9
    std::uint32_t address;
    unsigned count;          // data bytes
    unsigned char bytes[256]; // the count byte, the address, the data, the checksum
    const unsigned char *data;
};

enum record_fault {
    record_fine,
    not_a_record,     // does not start with 'S'
    unknown_type,     // S4, or not a digit
    bad_digit,
    bad_length,       // the count does not agree with the line
    bad_checksum,     // `value`: the right one
    bad_type_length,  // the count leaves no room for the address and checksum, or data where none goes
    space_after_checksum, // `value`: the space or tab that follows a whole record
    byte_order_mark,  // a UTF-8 byte order mark before the first record
    dos_end_of_file   // a DOS end-of-file character (0x1A) after the termination record
};

// Where on its line the last fault is, from 1, for a fault of one character; 0 otherwise.
unsigned fault_column;

// Why a line whose count disagrees with its length is not a record: a
// character that is not a digit (at fault_column), or else its length.
record_fault misfit(const char *line, std::size_t length)
{
    for (std::size_t i = 2; i < length; ++i)
        if (std::isxdigit(static_cast<unsigned char>(line[i])) == 0) {
            fault_column = static_cast<unsigned>(i + 1);
            return bad_digit;
        }
    fault_column = 0;
    return bad_length;
}

// Decodes and checks the `length` characters at `line` (without its end).
record_fault parse_record(const char *line, std::size_t length, srec_record *record, unsigned *value)
{
    fault_column = 1;
    if (length == 0 || line[0] != 'S')
        return not_a_record;
    fault_column = 2;
    if (length < 2 || line[1] < '0' || line[1] > '9' || line[1] == '4') {
        // The type as typed, unless it is no character to show.
        *value = length >= 2 && std::isgraph(static_cast<unsigned char>(line[1])) != 0 ? static_cast<unsigned char>(line[1]) : '?';
        return unknown_type;
    }
    record->type = static_cast<unsigned>(line[1] - '0');
    unsigned sum = 0;
    const std::size_t digits = length - 2;
    // Digits first, so that a stray character is named as one.
    if (digits < 2 || !decode_pairs(line + 2, 1, record->bytes, &sum)) {
        fault_column = digits < 2 ? 0 : std::isxdigit(static_cast<unsigned char>(line[2])) == 0 ? 3 : 4;
        return digits < 2 ? bad_length : bad_digit;
    }
    const unsigned count = record->bytes[0];
    if (digits != 2 + 2 * std::size_t{count})
        return misfit(line, length);
    fault_column = 0;
    if (!decode_pairs(line + 4, count, record->bytes + 1, &sum)) {
        fault_column = static_cast<unsigned>(4 + std::strspn(line + 4, "0123456789abcdefABCDEF") + 1);
        return bad_digit;
    }
    if ((sum & 0xFF) != 0xFF) {
        *value = ~(sum - record->bytes[count]) & 0xFFu;
        return bad_checksum;
    }
    const unsigned address_size = address_sizes[record->type];
    const bool holds_data = record->type <= 3;
    if (count < address_size + 1 || (!holds_data && count != address_size + 1))
        return bad_type_length;
    record->address = 0;
    for (unsigned i = 0; i < address_size; ++i)
        record->address = record->address << 8 | record->bytes[1 + i];
    record->count = record->type >= 1 && record->type <= 3 ? count - address_size - 1 : 0;
    record->data = record->bytes + 1 + address_size;
    return record_fine;
}

// What `fault` means, as the user reads it.
const char *fault_text(record_fault fault)
{
    switch (fault) {
    case not_a_record:
        return "the line does not start with 'S'";
    case unknown_type:
        return "unknown record type S%c";
    case bad_digit:
        return "a character that is not a hexadecimal digit";
    case bad_length:
        return "the byte count does not agree with the line's length";
    case bad_checksum:
        return "wrong checksum, 0x%02X would be right";
    case bad_type_length:
        return "wrong byte count for its record type";
    case space_after_checksum:
        return "a %s after the checksum";
    case byte_order_mark:
        return "a UTF-8 byte order mark (saved by an editor?)";
    case dos_end_of_file:
        return "a DOS end-of-file character (0x1A) after the termination record";
    case record_fine:
        break;
    }
    return "";
}

// The file's text, read through one buffer a line at a time.
char text[longest_line + text_block];
struct {
    std::FILE *input;
    const char *next;            // the first character not yet taken
    const char *end;             // of the text in the buffer
    std::uint64_t buffer_offset; // where in the file the buffer begins
    std::uint64_t line;          // the number of the line at `next`
    bool ended;                  // nothing more to read after `end`
    bool failed;
} cursor;

bool start_reading(std::FILE *input, std::uint64_t offset, std::uint64_t line)
{
    cursor = {input, text, text, offset, line, false, false};
    return offset <= static_cast<std::uint64_t>(LONG_MAX) && std::fseek(input, static_cast<long>(offset), SEEK_SET) == 0;
}

// Keeps at least a whole line in the buffer when the file has one.
void fill()
{
    const auto left = static_cast<std::size_t>(cursor.end - cursor.next);
    if (left >= longest_line || cursor.ended)
        return;
    std::memmove(text, cursor.next, left);
    cursor.buffer_offset += static_cast<std::uint64_t>(cursor.next - text);
    cursor.next = text;
    const std::size_t got = std::fread(text + left, 1, text_block, cursor.input);
    cursor.end = text + left + got;
    if (got < text_block) {
        cursor.ended = true;
        cursor.failed = std::ferror(cursor.input) != 0;
    }
}

enum line_kind { record_line, empty_line, no_more_lines, faulty_line, failed_line };

// The common line, an S3 record of 16 data bytes ("S315", 8 address
// digits, 32 data digits, the checksum, a line end) with every digit valid
// and the checksum right, its 42 digits after the count decoded at once. False for anything else, which the
// general reading then judges.
inline bool take_full_line(const char *start, srec_record *record)
{
    constexpr std::ptrdiff_t full_line = 4 + 2 * 21 + 2; // with CR LF
    if (cursor.end - start < full_line || start[0] != 'S' || start[1] != '3' || start[2] != '1' || start[3] != '5')
        return false;
    unsigned sum = 0;
    const char after = start[46];
    if (!decode_full_line(start + 4, record->bytes + 1, &sum) || !(after == '\n' || (after == '\r' && start[47] == '\n')) ||
        ((sum + 0x15) & 0xFF) != 0xFF)
        return false;
    record->bytes[0] = 0x15;
    record->type = 3;
    record->address = static_cast<std::uint32_t>(record->bytes[1]) << 24 | static_cast<std::uint32_t>(record->bytes[2]) << 16 |
                      static_cast<std::uint32_t>(record->bytes[3]) << 8 | record->bytes[4];
    record->count = 16;
    record->data = record->bytes + 5;
    cursor.next = start + (after == '\r' ? 48 : 47);
    ++cursor.line;
    return true;
}

// Takes the next line; a faulty_line leaves the cursor on it, its fault
// in `fault`.
// A whole record on the `length` characters at `start`, and what an editor
// or DOS left after it: names that in `fault` (and `value`, fault_column).
void name_trailer(const char *start, std::size_t length, record_fault *fault, unsigned *value)
{
    std::size_t whole = length;
    while (whole > 0 && (start[whole - 1] == ' ' || start[whole - 1] == '\t'))
        --whole;
    const bool dos_end = whole == length && start[length - 1] == 0x1A;
    srec_record before{};
    unsigned unused = 0;
    if ((whole == length && !dos_end) ||
        parse_record(start, dos_end ? length - 1 : whole, &before, &unused) != record_fine || (dos_end && before.type < 7))
        return;
    *fault = dos_end ? dos_end_of_file : space_after_checksum;
    *value = static_cast<unsigned char>(start[whole]);
    fault_column = static_cast<unsigned>(dos_end ? length : whole + 1);
}

line_kind take_line(srec_record *record, record_fault *fault, unsigned *value)
{
    fill();
    if (cursor.failed)
        return failed_line;
    const char *start = cursor.next;
    if (take_full_line(start, record))
        return record_line;
    if (start == cursor.end)
        return no_more_lines;
    const std::size_t window = std::min<std::size_t>(static_cast<std::size_t>(cursor.end - start), longest_line);
    const auto *newline = static_cast<const char *>(std::memchr(start, '\n', window));
    const char *line_end = newline != nullptr ? newline : cursor.end;
    if (newline == nullptr && !(cursor.ended && cursor.end - start < static_cast<std::ptrdiff_t>(longest_line))) {
        *fault = start[0] == 'S' ? bad_length : not_a_record; // a line longer than any record
        return faulty_line;
    }
    std::size_t length = static_cast<std::size_t>(line_end - start);
    if (newline != nullptr && length > 0 && start[length - 1] == '\r')
        --length;
    const char *after = newline != nullptr ? newline + 1 : line_end;
    if (length == 0 && (newline != nullptr || line_end == start)) {
        cursor.next = after;
        ++cursor.line;
        return empty_line;
    }
    if (cursor.buffer_offset == 0 && start == text && length >= 3 && std::memcmp(start, "\xEF\xBB\xBF", 3) == 0) {
        *fault = byte_order_mark;
        fault_column = 1;
        return faulty_line;
    }
    *fault = parse_record(start, length, record, value);
    if (*fault == bad_digit || *fault == bad_length)
        name_trailer(start, length, fault, value);
    if (*fault != record_fine)
        return faulty_line;
    cursor.next = after;
    ++cursor.line;
    return record_line;
}

bool recognise(const unsigned char *head, std::size_t size, bool whole_record)
{
    if (first_visible(head, size) != 'S')
        return false;
    const char *line = nullptr;
    std::size_t length = 0;
    srec_record record{};
    unsigned value = 0;
    return !whole_record || (first_line(head, size, &line, &length) && parse_record(line, length, &record, &value) == record_fine);
}

// The line of the data record of `stretch` that holds `address`; 0 when
// the file changed since it was checked.
std::uint64_t line_holding(std::FILE *input, const part_stretch &stretch, std::uint32_t address)
{
    if (!start_reading(input, stretch.offset, stretch.where))
        return 0;
    srec_record record{};
    record_fault fault{};
    unsigned value = 0;
    for (;;) {
        const std::uint64_t line = cursor.line;
        const line_kind kind = take_line(&record, &fault, &value);
        if (kind != record_line && kind != empty_line)
            return 0;
        if (kind == record_line && record.count > 0 && address - record.address < record.count)
            return line;
    }
}

// `fault` at `column` of its line.
part_fault with_column(part_fault fault, unsigned column)
{
    fault.column = column;
    return fault;
}

// Where the first reading stands between lines.
struct gathering {
    std::uint64_t data_records; // before the line
    bool header_allowed;        // no record yet
    bool terminated;            // a termination record was read
    bool open;                  // the last stretch may still grow
};

// Checks a record of the first reading against those before it, and
// gathers its data; a fault's text, or null.
part_fault take_record(const srec_record &record, std::uint64_t offset, std::uint64_t line, gathering *state,
                       part_stretches *stretches)
{
    if (state->terminated)
        return make_fault(part_malformed, line, "a record after the termination record (two files joined into one?)");
    const bool first = state->header_allowed;
    state->header_allowed = false;
    switch (record.type) {
    case 0:
        if (!first)
            return make_fault(part_malformed, line, "an S0 header record that is not the first record");
        return {part_well_formed, 0, 0, {}};
    case 5:
    case 6:
        if (record.address != state->data_records)
            return make_fault(part_malformed, line, "the S%u record counts %" PRIu32 " data records, and %" PRIu64
                              " come before it", record.type, record.address, state->data_records);
        return {part_well_formed, 0, 0, {}};
    case 7:
    case 8:
    case 9:
        state->terminated = true; // its start address, like Intel HEX's, is not written
        return {part_well_formed, 0, 0, {}};
    default:
        break;
    }
    ++state->data_records;
    if (record.count == 0)
        return {part_well_formed, 0, 0, {}};
    if (std::uint64_t{record.address} + record.count > std::uint64_t{1} << 32)
        return make_fault(part_malformed, line, "the data record passes 0xFFFFFFFF");
    part_stretch *last = state->open ? &stretches->items[stretches->count - 1] : nullptr;
    if (last != nullptr && last->address + last->size == record.address)
        last->size += record.count;
    else if (!add_stretch(stretches, {record.address, record.count, offset, line, 0}))
        return {part_out_of_memory, 0, 0, {}};
    state->open = true;
    return {part_well_formed, 0, 0, {}};
}

part_fault read_part(std::FILE *input, std::uint64_t /*unused*/, part_stretches *stretches)
{
    if (!start_reading(input, 0, 1))
        return {part_read_failed, 0, 0, {}};
    srec_record record{};
    gathering state{0, true, false, false};
    for (;;) {
        const std::uint64_t offset = cursor.buffer_offset + static_cast<std::uint64_t>(cursor.next - text);
        const std::uint64_t line = cursor.line;
        record_fault fault{};
        unsigned value = 0;
        const line_kind kind = take_line(&record, &fault, &value);
        if (kind == no_more_lines)
            break;
        if (kind == failed_line)
            return {part_read_failed, 0, 0, {}};
        if (kind == empty_line)
            continue;
        if (kind == faulty_line && state.terminated && fault != dos_end_of_file && *cursor.next == 0x1A)
            return with_column(make_fault(part_malformed, line, "%s", fault_text(dos_end_of_file)), 1);
        if (kind == faulty_line && state.terminated && fault != dos_end_of_file)
            return make_fault(part_malformed, line, "a record after the termination record (two files joined into one?)");
        if (kind == faulty_line && fault == space_after_checksum)
            return with_column(make_fault(part_malformed, line, fault_text(fault), value == '\t' ? "tab" : "space"), // NOLINT: the text above
                               fault_column);
        if (kind == faulty_line)
            return with_column(make_fault(part_malformed, line, fault_text(fault), value), fault_column); // NOLINT: the texts above, one number at most
        const part_fault taken = take_record(record, offset, line, &state, stretches);
        if (taken.verdict != part_well_formed)
            return taken;
    }
    const part_stretch *first = nullptr;
    const part_stretch *second = nullptr;
    std::uint32_t address = 0;
    if (!sort_stretches(stretches, &first, &second, &address))
        return {part_well_formed, 0, 0, {}};
    const std::uint64_t other = line_holding(input, *first, address);
    return make_fault(part_malformed, std::max(other, second->where),
                      "data records share the address 0x%X with line %" PRIu64, address, std::min(other, second->where));
}

// The stretch being handed over.
struct {
    srec_record record;
    std::uint64_t next;           // the address the next data record must have
    std::uint64_t left;           // bytes of the stretch not yet decoded
    pending_bytes pending;        // decoded, not yet handed over
} taking;

bool start_stretch(std::FILE *input, const part_stretch &stretch)
{
    taking.next = stretch.address;
    taking.left = stretch.size;
    taking.pending.size = 0;
    return start_reading(input, stretch.offset, 0);
}

convert_result take_bytes(unsigned char *out, std::size_t room, std::size_t *taken)
{
    std::size_t count = 0;
    while (count < room && (taking.pending.size > 0 || taking.left > 0)) {
        if (taking.pending.size > 0) {
            hand_over(&taking.pending, out, room, &count);
            continue;
        }
        srec_record &record = taking.record;
        record_fault fault{};
        unsigned value = 0;
        const line_kind kind = take_line(&record, &fault, &value);
        if (kind == failed_line)
            return read_failed;
        if (kind == faulty_line || kind == no_more_lines || (kind == record_line && record.type >= 7))
            return image_changed;
        if (kind != record_line || record.count == 0)
            continue;
        if (record.address != taking.next || record.count > taking.left)
            return image_changed;
        // Straight into `out` when it has room, the common case.
        if (record.count <= room - count) {
            std::memcpy(out + count, record.data, record.count);
            count += record.count;
        } else {
            taking.pending = {record.data, record.count};
        }
        taking.next += record.count;
        taking.left -= record.count;
    }
    *taken = count;
    return converted;
}

} // namespace

const part_reader s_record_reader{"S-record", recognise, read_part, start_stretch, take_bytes, false, nullptr, false};
