// The DfuSe reader. A file is a prefix ("DfuSe", version 1, the image's
// size and its count of targets), the targets (each "Target", its
// alternate setting, whether it is named, a 255-byte name, its size and
// its count of elements, then its elements: an address and a size, then
// the bytes), and the DFU suffix (device, product and vendor IDs, DFU
// version 0x011A, "UFD", its length 16, and the CRC-32 of every byte
// before the CRC, kept inverted). Every size is checked against the file
// before it is used. Each element is data at its address; a stretch's
// detail is its target's alternate setting.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "formats.h"

namespace {

constexpr std::size_t prefix_size = 11;                             // "DfuSe", version, image size, targets
constexpr std::size_t target_prefix_size = 6 + 1 + 4 + 255 + 4 + 4; // "Target", alternate, named, name, size, elements
constexpr std::size_t element_header_size = 8;                      // address, size
constexpr std::size_t suffix_size = 16;
constexpr std::uint64_t address_space_size = std::uint64_t{1} << 32;

// An element's place in the file, for messages: its target and its
// number there, from 0.
std::uint64_t element_where(unsigned target, std::uint32_t element)
{
    return std::uint64_t{target} << 32 | element;
}

// The CRC of the DFU suffix: CRC-32 without its final XOR (JAMCRC) over
// every byte before its own field; false when the file cannot be read.
bool file_crc(std::FILE *input, std::uint64_t size, std::uint32_t *crc)
{
    static unsigned char chunk[1 << 16];
    crc_state state{};
    crc_start(&state, crc_zlib);
    if (std::fseek(input, 0, SEEK_SET) != 0)
        return false;
    for (std::uint64_t left = size - 4; left > 0;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof chunk));
        if (std::fread(chunk, 1, count, input) != count)
            return false;
        crc_feed(&state, chunk, count);
        left -= count;
    }
    *crc = ~crc_finish(&state);
    return true;
}

// Checks the prefix and the suffix; the image's end (where the suffix
// starts) in `image_end`, the number of targets in `targets`.
part_fault read_frame(std::FILE *input, std::uint64_t size, std::uint64_t *image_end, unsigned *targets,
                      char *device)
{
    if (size < prefix_size + suffix_size)
        return make_fault(part_malformed, 0, "%" PRIu64 " bytes are too few for a DfuSe prefix and suffix; it may have "
                          "been cut short", size);
    unsigned char prefix[prefix_size];
    unsigned char suffix[suffix_size];
    if (!read_at(input, 0, prefix, sizeof prefix) || !read_at(input, size - suffix_size, suffix, sizeof suffix))
        return {part_read_failed, 0, 0, {}};
    if (prefix[5] != 0x01)
        return make_fault(part_malformed, 0, "DfuSe version %u; only version 1 is read", prefix[5]);
    // The image size counts the file without its suffix, or, as one
    // common generator writes it, with it.
    const std::uint32_t image_size = get_le32(prefix + 6);
    if (image_size != size - suffix_size && image_size != size)
        return make_fault(part_malformed, 0, "the prefix gives an image size of %" PRIu32 " bytes, and the file holds %"
                          PRIu64 " before its suffix; it may have been cut short", image_size, size - suffix_size);
    if (std::memcmp(suffix + 8, "UFD", 3) != 0 || suffix[11] != suffix_size)
        return make_fault(part_malformed, 0, "the file does not end with a DFU suffix (signature UFD, length 16)");
    std::uint32_t crc = 0;
    if (!file_crc(input, size, &crc))
        return {part_read_failed, 0, 0, {}};
    if (get_le32(suffix + 12) != crc)
        return make_fault(part_malformed, 0, "the suffix's CRC is 0x%08" PRIX32 ", 0x%08" PRIX32 " would be right",
                          get_le32(suffix + 12), crc);
    *image_end = size - suffix_size;
    *targets = prefix[10];
    std::snprintf(device, 16, "%04X:%04X", get_le16(suffix + 4), get_le16(suffix + 2));
    return {part_well_formed, 0, 0, {}};
}

// The elements of target `target`, which starts at `at` and is checked
// to end before `image_end`; `at` then stands after it.
part_fault read_target(std::FILE *input, unsigned target, std::uint64_t *at, std::uint64_t image_end,
                       part_stretches *stretches)
{
    unsigned char prefix[target_prefix_size];
    if (image_end - *at < target_prefix_size)
        return make_fault(part_malformed, 0, "target %u passes the end of the image", target);
    if (!read_at(input, *at, prefix, sizeof prefix))
        return {part_read_failed, 0, 0, {}};
    if (std::memcmp(prefix, "Target", 6) != 0)
        return make_fault(part_malformed, 0, "target %u does not start with 'Target'", target);
    const std::uint8_t alternate = prefix[6];
    const std::uint32_t target_size = get_le32(prefix + 266);
    const std::uint32_t elements = get_le32(prefix + 270);
    const std::uint64_t begin = *at + target_prefix_size;
    if (target_size > image_end - begin)
        return make_fault(part_malformed, 0, "target %u's size, %" PRIu32 " bytes, passes the end of the image", target,
                          target_size);
    const std::uint64_t end = begin + target_size;
    std::uint64_t next = begin;
    for (std::uint32_t element = 0; element < elements; ++element) {
        unsigned char header[element_header_size];
        if (end - next < element_header_size)
            return make_fault(part_malformed, 0, "target %u, element %" PRIu32 ": its header passes the end of its target",
                              target, element);
        if (!read_at(input, next, header, sizeof header))
            return {part_read_failed, 0, 0, {}};
        const std::uint32_t address = get_le32(header);
        const std::uint32_t size = get_le32(header + 4);
        next += element_header_size;
        if (size > end - next)
            return make_fault(part_malformed, 0, "target %u, element %" PRIu32 ": its %" PRIu32 " bytes pass the end of "
                              "its target", target, element, size);
        if (address + std::uint64_t{size} > address_space_size)
            return make_fault(part_past_top, 0, "target %u, element %" PRIu32 " at 0x%" PRIX32 " passes 0xFFFFFFFF",
                              target, element, address);
        if (size > 0 && !add_stretch(stretches, {address, size, next, element_where(target, element), alternate}))
            return {part_out_of_memory, 0, 0, {}};
        next += size;
    }
    if (next != end)
        return make_fault(part_malformed, 0, "target %u's size is %" PRIu32 " bytes, and its elements with their headers "
                          "hold %" PRIu64, target, target_size, next - begin);
    *at = end;
    return {part_well_formed, 0, 0, {}};
}

part_fault read_part(std::FILE *input, std::uint64_t size, part_stretches *stretches)
{
    std::uint64_t image_end = 0;
    unsigned targets = 0;
    part_fault fault = read_frame(input, size, &image_end, &targets, stretches->parameters);
    std::uint64_t at = prefix_size;
    for (unsigned target = 0; target < targets && fault.verdict == part_well_formed; ++target)
        fault = read_target(input, target, &at, image_end, stretches);
    if (fault.verdict != part_well_formed)
        return fault;
    if (at != image_end)
        return make_fault(part_malformed, 0, "the targets end at byte %" PRIu64 ", and the image at byte %" PRIu64, at,
                          image_end);
    const part_stretch *first = nullptr;
    const part_stretch *second = nullptr;
    std::uint32_t address = 0;
    if (!sort_stretches(stretches, &first, &second, &address))
        return fault;
    return make_fault(part_malformed, 0, "target %u, element %u and target %u, element %u share the address 0x%" PRIX32,
                      static_cast<unsigned>(first->number >> 32), static_cast<unsigned>(first->number & 0xFFFFFFFF),
                      static_cast<unsigned>(second->number >> 32), static_cast<unsigned>(second->number & 0xFFFFFFFF),
                      address);
}

bool recognise(const unsigned char *head, std::size_t size, recognition /*unused*/)
{
    return size >= 5 && std::memcmp(head, "DfuSe", 5) == 0;
}

part_fault read(part_cursor *cursor, std::uint64_t size, part_stretches *stretches)
{
    return read_part(cursor->input, size, stretches);
}

} // namespace

void name_dfuse_target(std::FILE *input, const part_stretch &stretch, char *name, std::size_t size)
{
    // The targets before it were checked when the file was read.
    const auto target = static_cast<unsigned>(stretch.number >> 32);
    unsigned char prefix[target_prefix_size];
    std::uint64_t at = prefix_size;
    bool read = true;
    for (unsigned i = 0; read && i < target; ++i) {
        read = read_at(input, at, prefix, sizeof prefix);
        at += target_prefix_size + get_le32(prefix + 266);
    }
    if (!read || !read_at(input, at, prefix, sizeof prefix)) {
        std::snprintf(name, size, "?");
        return;
    }
    const char *text = reinterpret_cast<const char *>(prefix + 11);
    const auto *end = static_cast<const char *>(std::memchr(text, '\0', 255));
    const int length = get_le32(prefix + 7) == 0 ? 0 : end != nullptr ? static_cast<int>(end - text) : 255;
    std::snprintf(name, size, "%.*s", length, text);
}

void describe_dfuse_target(std::FILE *input, const part_stretch &stretch, char *name, std::size_t size)
{
    char target[256];
    name_dfuse_target(input, stretch, target, sizeof target);
    std::snprintf(name, size, "alt %" PRIu32 " '%s'", stretch.detail, target);
}

const part_reader dfuse_reader{recognise, read, open_file_bytes, take_file_bytes};
