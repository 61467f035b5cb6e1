// DfuSe 1.1a, the file of the STM32's ROM bootloader over USB DFU
// (dfu-util, ST's programmer): a prefix, the targets (one per alternate
// setting the runs go to: alt 0 "ST..." unless a DfuSe input names
// others), one element per run of consecutive bytes, and the DFU suffix
// with its CRC. Every field is little-endian. The prefix holds the sizes,
// so the runs are planned first.
#include <cstdlib>
#include <cstring>

#include "formats.h"

namespace {

constexpr std::size_t prefix_size = 5 + 1 + 4 + 1;                  // "DfuSe", version, image size, targets
constexpr std::size_t target_prefix_size = 6 + 1 + 4 + 255 + 4 + 4; // "Target", alternate, named, name, size, elements
constexpr std::size_t element_header_size = 4 + 4;                  // address, size
constexpr std::size_t suffix_size = 16;
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

// The target every run goes to unless the plan names others.
const output_target default_target{0, "ST..."};

// The target of run `index`; the default one where the plan's first
// target is left unnamed.
const output_target &target_of(const run_list &plan, std::size_t index)
{
    if (plan.targets == nullptr)
        return default_target;
    const output_target &target = plan.targets[plan.items[index].target];
    return target.number == 0 && target.name[0] == '\0' ? default_target : target;
}

// Whether run `index` starts a target: the first, or one after a run of
// another target.
bool starts_target(const run_list &plan, std::size_t index)
{
    return index == 0 || plan.items[index].target != plan.items[index - 1].target;
}

// The bytes of the target that starts at run `first`, after its prefix.
std::uint64_t target_size(const run_list &plan, std::size_t first, std::size_t *elements)
{
    std::uint64_t size = 0;
    std::size_t i = first;
    do
        size += element_header_size + plan.items[i++].size;
    while (i < plan.count && !starts_target(plan, i));
    *elements = i - first;
    return size;
}

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

bool put_bytes(const void *bytes, std::size_t count)
{
    crc_feed(&file_crc, static_cast<const unsigned char *>(bytes), count);
    return stage_bytes(bytes, count);
}

// The bytes before the suffix: what the prefix's image size counts; the
// number of targets in `targets`.
std::uint64_t image_size(const run_list &plan, std::size_t *targets)
{
    std::uint64_t size = prefix_size;
    *targets = 0;
    for (std::size_t i = 0; i < plan.count; ++i) {
        if (starts_target(plan, i)) {
            size += target_prefix_size;
            ++*targets;
        }
        size += element_header_size + plan.items[i].size;
    }
    return size;
}

plan_verdict judge(const run_list &plan, std::size_t *at)
{
    if (plan.count == 0)
        return plan_empty; // a target without elements is refused by its readers
    // A target's elements lie together in the file, and the runs come in
    // address order.
    for (std::size_t i = 1; i < plan.count; ++i)
        for (std::size_t before = 0; starts_target(plan, i) && before + 1 < i; ++before)
            if (plan.items[before].target == plan.items[i].target && starts_target(plan, before + 1)) {
                *at = i;
                return plan_target_apart;
            }
    std::size_t targets = 0;
    const std::uint64_t size = image_size(plan, &targets);
    if (targets > 255)
        return plan_too_large;
    return size + suffix_size > 0xFFFFFFFF ? plan_too_large : plan_fits;
}

// The prefix of the target that starts at run `first`.
bool put_target_prefix(const run_list &plan, std::size_t first)
{
    unsigned char prefix[target_prefix_size] = {};
    const output_target &target = target_of(plan, first);
    std::size_t elements = 0;
    const std::uint64_t size = target_size(plan, first, &elements);
    std::memcpy(prefix, target_signature, sizeof target_signature);
    prefix[6] = static_cast<unsigned char>(target.number); // alternate setting
    put_le32(prefix + 7, target.name[0] != '\0' ? 1 : 0);  // named
    std::memcpy(prefix + 11, target.name, std::min(std::strlen(target.name), std::size_t{255}));
    put_le32(prefix + 266, static_cast<std::uint32_t>(size));
    put_le32(prefix + 270, static_cast<std::uint32_t>(elements));
    return put_bytes(prefix, sizeof prefix);
}

bool start(std::FILE *stream, const char * /*unused*/, const run_list *plan, std::uint32_t /*unused*/)
{
    stage_start(stream);
    runs = plan;
    element = 0;
    element_left = 0;
    crc_start(&file_crc, crc_zlib);
    std::size_t targets = 0;
    const std::uint64_t size = image_size(*plan, &targets);
    unsigned char head[prefix_size] = {'D', 'f', 'u', 'S', 'e', 0x01};
    put_le32(head + 6, static_cast<std::uint32_t>(size));
    head[10] = static_cast<unsigned char>(targets);
    return put_bytes(head, sizeof head);
}

// The bytes must come as planned: elements in order, each whole; a reading
// that finds other runs than the plan's means an input changed in between.
convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    if (element_left == 0) {
        if (element == runs->count || runs->items[element].address != address)
            return image_changed;
        if (starts_target(*runs, element) && !put_target_prefix(*runs, element))
            return write_failed;
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
                        true, describe_dfuse_target, false, name_dfuse_target};
