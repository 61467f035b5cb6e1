// The Intel HEX reader. A file is lines of ':' LL AAAA TT data CC: LL the
// data's byte count, AAAA the address field, TT the type, CC the two's
// complement of the sum of the bytes before it. Types: 00 data at the base
// plus AAAA, 01 End Of File (last, no data), 02 Extended Segment Address
// (base = value x 16), 03 Start Segment Address, 04 Extended Linear Address
// (base = value << 16), 05 Start Linear Address; types 02 to 05 have fixed
// byte counts and AAAA 0000. Nothing is trusted: no data record passes its
// 64 KiB segment (but after an 04 record, whose addresses go on linearly:
// none passes 0xFFFFFFFF), no two share an address, and the file ends with
// an End Of File record that nothing but empty lines follows.
#include <cinttypes>

#include "formats.h"
#include "text_read.h"

namespace {

constexpr std::uint32_t data_type = 0, end_of_file_type = 1, segment_type = 2, start_segment_type = 3, linear_type = 4,
                        start_linear_type = 5;
constexpr std::uint64_t segment_span = 0x10000;
// The byte count each type but data must have.
constexpr unsigned fixed_counts[] = {0, 0, 2, 4, 2, 4};

// The common line, ":10AAAA00", 32 digits, the checksum and the line end.
std::size_t full_line(const char *start, std::size_t available, text_record *record)
{
    constexpr std::size_t digits_end = 1 + 2 * (16 + 5);
    if (available < digits_end + 1 || start[0] != ':')
        return 0;
    const std::size_t end = line_end_at(start + digits_end, available - digits_end);
    unsigned sum = 0;
    if (end == 0 || !decode_full_line(start + 1, record->bytes, &sum) || record->bytes[0] != 16 ||
        record->bytes[3] != data_type || (sum & 0xFF) != 0)
        return 0;
    record->type = data_type;
    record->field = record->bytes[1] * 256u + record->bytes[2];
    record->holds_data = true;
    record->count = 16;
    record->data = record->bytes + 4;
    return digits_end + end;
}

// Sets `fault` to `text` at `column` (0: none); false.
bool fault_at(part_fault *fault, const char *text, std::size_t column)
{
    *fault = make_fault(part_malformed, 0, "%s", text);
    fault->column = column;
    return false;
}

// A line whose length is not its byte count's: a character that is not a
// digit, within the record or right after it, or else the length.
bool misfit(const char *line, std::size_t length, std::size_t expected, part_fault *fault)
{
    const std::size_t shorter = std::min(length, expected);
    std::size_t at = first_non_digit(line, 1, shorter);
    if (at == shorter && length > expected)
        at = first_non_digit(line, expected, expected + 1);
    if (at < length && at <= expected)
        return fault_at(fault, "a character that is not a hexadecimal digit", at + 1);
    return fault_at(fault, "the byte count does not agree with the line's length", 0);
}

bool parse(const char *line, std::size_t length, text_record *record, part_fault *fault)
{
    if (line[0] != ':')
        return fault_at(fault, "the line does not start with ':'", 1);
    unsigned sum = 0;
    if (length < 3 || !decode_pairs(line + 1, 1, record->bytes, &sum))
        return misfit(line, length, 3, fault);
    const unsigned count = record->bytes[0];
    const std::size_t expected = 1 + 2 * (std::size_t{count} + 5);
    if (length != expected || !decode_pairs(line + 3, count + 4u, record->bytes + 1, &sum))
        return misfit(line, length, expected, fault);
    const unsigned checksum = record->bytes[count + 4];
    const unsigned type = record->bytes[3];
    const unsigned field = record->bytes[1] * 256u + record->bytes[2];
    if ((sum & 0xFF) != 0)
        *fault = make_fault(part_malformed, 0, "wrong checksum, 0x%02X would be right", (checksum - sum) & 0xFFu);
    else if (type > 5)
        *fault = make_fault(part_malformed, 0, "unknown record type %02X", type);
    else if (type != data_type && count != fixed_counts[type])
        *fault = make_fault(part_malformed, 0, "wrong byte count for a record of type %02X", type);
    // An address record's value is in its data; every reader that checks
    // the address field wants it 0000.
    else if (type >= segment_type && field != 0)
        *fault = make_fault(part_malformed, 0, "the address field of a record of type %02X must be 0000", type);
    else {
        record->type = type;
        record->field = field;
        record->holds_data = type == data_type;
        record->count = type == data_type ? count : 0;
        record->data = record->bytes + 4;
        return true;
    }
    return false;
}

// The base that an Extended Segment (02) or Linear (04) Address record
// sets. Readers disagree when both kinds set one that is not zero
// (objcopy adds the two, srec_cat and python's intelhex take the later),
// and such data is refused; otherwise the one that is not zero counts. A
// stretch keeps its base, and in its low bit, always clear in a base,
// whether it is a segment's.
void follow(const text_record &record, text_context *context)
{
    if (record.type != segment_type && record.type != linear_type)
        return;
    const std::uint32_t value = record.bytes[4] * 256u + record.bytes[5];
    if (record.type == segment_type) {
        context->segment_base = value << 4;
        context->segment_line = context->line;
    } else {
        context->linear_base = value << 16;
        context->linear_line = context->line;
    }
    context->linear = record.type == linear_type;
    context->base = context->segment_base + context->linear_base;
    context->resume = context->base | (context->segment_base != 0 ? 1 : 0);
    context->check_each = context->segment_base != 0 && context->linear_base != 0;
}

void resume(std::uint32_t kept, text_context *context)
{
    context->base = kept & ~1u;
    context->resume = kept;
    ((kept & 1) != 0 ? context->segment_base : context->linear_base) = context->base;
}

// After an Extended Linear Address a record's bytes go on past its 64 KiB
// segment, as Intel defines it and srec_cat writes them; after an Extended
// Segment Address readers disagree (Intel's wraps inside the segment), so
// such a record is refused, as before any address record. A Start Segment
// Address (03) gives CS and IP, a Start Linear Address (05) the address.
bool check(const text_record &record, text_context *context, part_fault *fault)
{
    follow(record, context);
    const unsigned char *value = record.bytes + 4;
    if (record.type == start_segment_type)
        context->entry = (value[0] * 256u + value[1]) * 16u + value[2] * 256u + value[3];
    else if (record.type == start_linear_type)
        context->entry = static_cast<std::uint32_t>(value[0]) << 24 | value[1] << 16 | value[2] << 8 | value[3];
    if (record.holds_data && context->check_each) {
        *fault = make_fault(part_malformed, 0, "the data record is read under both the Extended Segment Address of line %"
                            PRIu64 " and the Extended Linear Address of line %" PRIu64 ", which readers add or choose "
                            "between differently", context->segment_line, context->linear_line);
        return false;
    }
    if (!context->linear && record.field + record.count > segment_span)
        return fault_at(fault, "the data record passes the end of its 64 KiB segment", 0);
    if (std::uint64_t{context->base} + record.field + record.count > segment_span << 16)
        return fault_at(fault, "the data record passes 0xFFFFFFFF", 0);
    return true;
}

bool ends_file(const text_record &record)
{
    return record.type == end_of_file_type;
}

const text_rules rules{':', "End Of File record", full_line, parse, check, segment_span, follow, resume, ends_file,
                       "no End Of File record; it may have been cut short", nullptr};

} // namespace

const part_reader intel_hex_reader = text_reader<rules>::reader;
