// DfuSe 1.1a, the file of the STM32's ROM bootloader over USB DFU
// (dfu-util, ST's programmer): a prefix, one target, one element per run of
// consecutive bytes, and the DFU suffix with its CRC. Every field is
// little-endian. The prefix holds the sizes, so the runs are planned first.
#include <cstdlib>
#include <cstring>

#include "formats.h"

namespace {

constexpr std::size_t prefix_size = 5 + 1 + 4 + 1;                  // "DfuSe", version, image size, targets
constexpr std::size_t target_prefix_size = 6 + 1 + 4 + 255 + 4 + 4; // "Target", alternate, named, name, size, elements
constexpr std::size_t element_header_size = 4 + 4;                  // address, size
constexpr std::size_t suffix_size = 16;
constexpr char target_name[] = "ST...";
constexpr unsigned char target_signature[] = {'T', 'a', 'r', 'g', 'e', 't'};
constexpr unsigned char suffix_signature[] = {'U', 'F', 'D'};
constexpr std::uint16_t bcd_dfu = 0x011A; // DfuSe's DFU version

// The STM32 ROM bootloader's, unless -O dfu:VID:PID says otherwise.
std::uint16_t vendor = 0x0483;
std::uint16_t product = 0xDF11;

crc_state file_crc;        // of every byte written, for the suffix
const run_list *runs;   // the plan: one element each
std::size_t element;       // the element being written
std::uint64_t element_left; // its bytes still to come

// Exactly `count` hexadecimal digits; false otherwise.
bool parse_id(const char *text, std::size_t count, std::uint16_t *id)
{
    if (std::strspn(text, "0123456789abcdefABCDEF") != count)
        return false;
    *id = static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16));
    return true;
}

bool configure(const char *parameters)
{
    vendor = 0x0483;
    product = 0xDF11;
    if (parameters == nullptr)
        return true;
    return parse_id(parameters, 4, &vendor) && parameters[4] == ':' && parse_id(parameters + 5, 4, &product) &&
           parameters[9] == '\0';
}

// The bytes before the suffix: what the prefix's image size counts.
std::uint64_t image_size(const run_list &plan)
{
    std::uint64_t size = prefix_size + target_prefix_size;
    for (std::size_t i = 0; i < plan.count; ++i)
        size += element_header_size + plan.items[i].size;
    return size;
}

plan_verdict judge(const run_list &plan, std::size_t * /*unused*/)
{
    if (plan.count == 0)
        return plan_empty; // a target without elements is refused by its readers
    return image_size(plan) + suffix_size > 0xFFFFFFFF ? plan_too_large : plan_fits;
}

bool put_bytes(const void *bytes, std::size_t count)
{
    crc_feed(&file_crc, static_cast<const unsigned char *>(bytes), count);
    return stage_bytes(bytes, count);
}

bool start(std::FILE *stream, const char * /*unused*/, const run_list *plan, std::uint32_t /*unused*/)
{
    stage_start(stream);
    runs = plan;
    element = 0;
    element_left = 0;
    crc_start(&file_crc, crc_zlib);
    const std::uint64_t size = image_size(*plan);
    unsigned char head[prefix_size + target_prefix_size] = {'D', 'f', 'u', 'S', 'e', 0x01};
    put_le32(head + 6, static_cast<std::uint32_t>(size));
    head[10] = 1; // targets
    unsigned char *target = head + prefix_size;
    std::memcpy(target, target_signature, sizeof target_signature);
    target[6] = 0;                // alternate setting
    put_le32(target + 7, 1);      // named
    std::memcpy(target + 11, target_name, sizeof target_name);
    put_le32(target + 266, static_cast<std::uint32_t>(size - sizeof head));
    put_le32(target + 270, static_cast<std::uint32_t>(plan->count));
    return put_bytes(head, sizeof head);
}

// The bytes must come as planned: elements in order, each whole; a reading
// that finds other runs than the plan's means an input changed in between.
convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    if (element_left == 0) {
        if (element == runs->count || runs->items[element].address != address)
            return image_changed;
        const run &next = runs->items[element++];
        unsigned char header[element_header_size];
        put_le32(header, next.address);
        put_le32(header + 4, static_cast<std::uint32_t>(next.size));
        if (!put_bytes(header, sizeof header))
            return write_failed;
        element_left = next.size;
    } else if (address != runs->items[element - 1].address + (runs->items[element - 1].size - element_left)) {
        return image_changed;
    }
    if (count > element_left)
        return image_changed;
    element_left -= count;
    return put_bytes(bytes, count) ? converted : write_failed;
}

convert_result finish(bool complete)
{
    if (!complete)
        return stage_finish();
    if (element != runs->count || element_left != 0)
        return image_changed;
    unsigned char suffix[suffix_size] = {0xFF, 0xFF};
    put_le16(suffix + 2, product);
    put_le16(suffix + 4, vendor);
    put_le16(suffix + 6, bcd_dfu);
    std::memcpy(suffix + 8, suffix_signature, sizeof suffix_signature);
    suffix[11] = suffix_size;
    crc_feed(&file_crc, suffix, 12);
    // The suffix's CRC is CRC-32 without its final XOR (CRC-32/JAMCRC).
    put_le32(suffix + 12, ~crc_finish(&file_crc));
    return stage_bytes(suffix, sizeof suffix) ? stage_finish() : write_failed;
}

} // namespace

const file_format dfuse{"dfu", "DfuSe", "a", "dfu[:VID:PID]", ", VID and PID in 4 hexadecimal digits each (default 0483:DF11)",
                          ".dfu ", ".dfu", "", configure, true, true, judge, {start, put, finish}, &dfuse_reader, "",
                        true, nullptr, false};
