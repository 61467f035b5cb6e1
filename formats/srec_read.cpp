// The S-record reader. A file is lines of 'S', a type digit, then digit
// pairs: the count of the bytes that follow, an address, data, and the
// ones' complement of the sum of the count, address and data. S0 is a
// header (first, if at all), S1 to S3 data at a 16-, 24- or 32-bit address,
// S5 and S6 the count of the data records before them in 16 or 24 bits,
// S7 to S9 the termination record with a start address of 32, 24 or 16
// bits, after which nothing but empty lines follows; S4 is not defined.
// No data record passes 0xFFFFFFFF, and no two share an address.
#include <cctype>
#include <cinttypes>
#include <cstring>

#include "formats.h"
#include "text_read.h"

namespace {

// The bytes of each type's address, 0 for S4 (refused).
constexpr unsigned address_sizes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// The common line, "S315", 8 address digits, 32 data digits, the checksum
// and the line end.
std::size_t full_line(const char *start, std::size_t available, text_record *record)
{
    constexpr std::size_t digits_end = 4 + 2 * 21;
    if (available < digits_end + 1 || std::memcmp(start, "S315", 4) != 0)
        return 0;
    const std::size_t end = line_end_at(start + digits_end, available - digits_end);
    unsigned sum = 0;
    if (end == 0 || !decode_full_line(start + 4, record->bytes + 1, &sum) || ((sum + 0x15) & 0xFF) != 0xFF)
        return 0;
    const unsigned char *address = record->bytes + 1;
    record->type = 3;
    record->field = static_cast<std::uint32_t>(address[0]) << 24 | static_cast<std::uint32_t>(address[1]) << 16 |
                    static_cast<std::uint32_t>(address[2]) << 8 | address[3];
    record->holds_data = true;
    record->count = 16;
    record->data = record->bytes + 5;
    return digits_end + end;
}

// Sets `fault` to `text` (with `value`) at `column` (0: none); false.
bool fault_at(part_fault *fault, std::size_t column, const char *text, unsigned value = 0)
{
    *fault = make_fault(part_malformed, 0, text, value); // NOLINT: the texts below, one number at most
    fault->column = column;
    return false;
}

bool parse(const char *line, std::size_t length, text_record *record, part_fault *fault)
{
    if (line[0] != 'S')
        return fault_at(fault, 1, "the line does not start with 'S'");
    if (length < 2 || line[1] < '0' || line[1] > '9' || line[1] == '4') {
        // The type as typed, unless it is no character to show.
        const unsigned shown = length >= 2 && std::isgraph(static_cast<unsigned char>(line[1])) != 0 ? static_cast<unsigned char>(line[1]) : '?';
        return fault_at(fault, 2, "unknown record type S%c", shown);
    }
    const auto type = static_cast<unsigned>(line[1] - '0');
    unsigned sum = 0;
    // Digits first, so that a stray character is named as one.
    if (length < 4)
        return fault_at(fault, 0, "the byte count does not agree with the line's length");
    if (!decode_pairs(line + 2, 1, record->bytes, &sum))
        return fault_at(fault, first_non_digit(line, 2, 4) + 1, "a character that is not a hexadecimal digit");
    const unsigned count = record->bytes[0];
    const std::size_t at = first_non_digit(line, 4, length);
    if (at < length)
        return fault_at(fault, at + 1, "a character that is not a hexadecimal digit");
    if (length != 4 + 2 * std::size_t{count})
        return fault_at(fault, 0, "the byte count does not agree with the line's length");
    decode_pairs(line + 4, count, record->bytes + 1, &sum);
    if ((sum & 0xFF) != 0xFF)
        return fault_at(fault, 0, "wrong checksum, 0x%02X would be right", ~(sum - record->bytes[count]) & 0xFFu);
    const unsigned address_size = address_sizes[type];
    const bool holds_data = type >= 1 && type <= 3;
    // Bytes after the address: an S0 header's text, or data.
    if (count < address_size + 1 || (type > 3 && count != address_size + 1))
        return fault_at(fault, 0, "wrong byte count for its record type");
    record->type = type;
    record->field = 0;
    for (unsigned i = 0; i < address_size; ++i)
        record->field = record->field << 8 | record->bytes[1 + i];
    record->holds_data = holds_data;
    record->count = holds_data ? count - address_size - 1 : 0;
    record->data = record->bytes + 1 + address_size;
    return true;
}

bool check(const text_record &record, text_context *context, part_fault *fault)
{
    if (record.type == 0 && !context->first)
        return fault_at(fault, 0, "an S0 header record that is not the first record");
    if ((record.type == 5 || record.type == 6) && record.field != context->data_records) {
        *fault = make_fault(part_malformed, 0, "the S%u record counts %" PRIu32 " data records, and %" PRIu64
                            " come before it", record.type, record.field, context->data_records);
        return false;
    }
    if (std::uint64_t{record.field} + record.count > std::uint64_t{1} << 32)
        return fault_at(fault, 0, "the data record passes 0xFFFFFFFF");
    if (record.type >= 7)
        context->entry = record.field; // writers that have none put 0
    return true;
}

// Every data record carries its whole address.
void follow(const text_record & /*unused*/, text_context * /*unused*/) {}
void resume(std::uint32_t /*unused*/, text_context * /*unused*/) {}

bool ends_file(const text_record &record)
{
    return record.type >= 7;
}

// Every file found in use ends with a count or termination record; only
// srec_cat leaves both out, and only when told to.
const text_rules rules{'S', "termination record", full_line, parse, check, std::uint64_t{1} << 32, follow, resume, ends_file, nullptr,
                       "ends with a data record: the file may have been cut short (if it was written so, write it "
                       "with a count (S5) or termination (S7 to S9) record)"};

} // namespace

const part_reader s_record_reader = text_reader<rules>::reader;
