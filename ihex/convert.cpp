// The conversion loop: the image is read one 64 KiB block at a time, the
// block's records are formatted into one text buffer and leave in one write.
#include "ihex.h"
#include "records.h"

#include <algorithm>

std::uint32_t load_address = default_load_address;
int omit_blank = 0;

namespace {

constexpr std::uint64_t address_space_size = std::uint64_t{1} << 32;
constexpr std::size_t lines_per_block = block_size / line_size;
constexpr std::size_t address_record_size = 1 + 2 + 4 + 2 + 4 + 2 + line_end_size;
constexpr std::size_t end_record_size = 1 + 2 + 4 + 2 + 2 + line_end_size;
// Upper address bits that no segment has: nothing written yet.
constexpr std::uint32_t no_segment = 0x10000;

// Text of one block: every line, one line split at a 64 KiB boundary, an
// address record for each of the two segments a block can touch, the End
// Of File record, and the NUL that append_checksum leaves behind.
constexpr std::size_t block_text_size =
    (lines_per_block + 1) * record_size + 2 * address_record_size + end_record_size + 1;

// The current block of the image.
unsigned char image_buffer[block_size];
// The current block's records, written with one call.
char block_text[block_text_size];

// Bytes from image offset `n` of the block at `block_address` to the next
// 64 KiB boundary.
inline std::size_t segment_room(std::uint32_t block_address, std::size_t n)
{
    return block_size - ((block_address + static_cast<std::uint32_t>(n)) & 0xFFFFu);
}

// An Extended Linear Address record when `address` lies in another segment
// than the last record.
inline char *put_segment_change(char *out, std::uint32_t address, std::uint32_t *last_segment)
{
    const std::uint32_t segment = address >> 16;
    if (segment != *last_segment) {
        out = put_extended_linear_address(out, static_cast<std::uint16_t>(segment));
        *last_segment = segment;
    }
    return out;
}

// One data record that lies inside a single 64 KiB segment, preceded by an
// Extended Linear Address record when its segment differs from the last.
inline char *put_record_in_segment(char *out, std::uint32_t address, const unsigned char *bytes,
                                   std::size_t count, std::uint32_t *last_segment)
{
    out = put_segment_change(out, address, last_segment);
    return put_data_record(out, static_cast<std::uint16_t>(address), bytes, count);
}

// Formats the records of the block at image_buffer and returns their end.
char *format_block(char *out, std::uint32_t block_address, std::size_t count,
                   std::uint32_t *last_segment)
{
    for (std::size_t n = 0; n < count; n += line_size) {
        std::size_t length = count - n < line_size ? count - n : line_size;
        const unsigned char *line = image_buffer + n;
        // Without omission, the full lines up to the block's end or the
        // next 64 KiB boundary go out in one run.
        const std::size_t full_lines = omit_blank != 0 ? 0 : std::min(count - n, segment_room(block_address, n)) / line_size;
        if (full_lines > 0) {
            const std::uint32_t address = block_address + static_cast<std::uint32_t>(n);
            out = put_segment_change(out, address, last_segment);
            out = put_full_lines(out, static_cast<std::uint16_t>(address), line, full_lines);
            n += (full_lines - 1) * line_size;
            continue;
        }
        if (omit_blank != 0) {
            length = trim_blank_tail(line, length);
            if (length == 0)
                continue;
        }
        const std::uint32_t address = block_address + static_cast<std::uint32_t>(n);
        const std::size_t room = segment_room(block_address, n);
        if (length > room) {
            // Records shouldn't cross 64K boundaries: a reader adds the
            // record's 16-bit offset to one segment base only.
            out = put_record_in_segment(out, address, line, room, last_segment);
            out = put_record_in_segment(out, address + static_cast<std::uint32_t>(room),
                                        line + room, length - room, last_segment);
        } else {
            out = put_record_in_segment(out, address, line, length, last_segment);
        }
    }
    return out;
}

// The bytes from image offset `image_size` on that form whole lines below
// the top of the address space.
std::size_t lines_below_top(std::uint32_t address, std::uint64_t image_size)
{
    const std::uint64_t room = address_space_size - address - image_size;
    return static_cast<std::size_t>(room - room % line_size);
}

bool write_text(const char *begin, const char *end, std::FILE *output)
{
    const auto size = static_cast<std::size_t>(end - begin);
    return std::fwrite(begin, 1, size, output) == size;
}

// The records of one image, its lines counted from its own first byte; the
// segment of the last record written carries over from image to image.
convert_result convert_one(const image_source &image, std::FILE *output, std::uint32_t *last_segment)
{
    std::uint64_t image_size = 0; // bytes of the image read so far
    bool end_of_input = false;
    while (!end_of_input) {
        std::size_t count = std::fread(image_buffer, 1, block_size, image.stream);
        if (std::ferror(image.stream) != 0)
            return read_failed;
        end_of_input = count < block_size;
        if (count == 0)
            break;
        // An image that passes the top (known only as it is read, from a
        // pipe) gets the lines that fit below it, then is refused.
        const bool passes_top = !image_fits(image_size + count, image.address);
        if (passes_top)
            count = lines_below_top(image.address, image_size);
        const auto block_address = static_cast<std::uint32_t>(image.address + image_size);
        image_size += count;
        const bool blank = omit_blank != 0 && block_is_blank(image_buffer, count);
        if (!blank && !write_text(block_text,
                                  format_block(block_text, block_address, count, last_segment), output))
            return write_failed;
        if (passes_top)
            return image_too_large;
    }
    return converted;
}

} // namespace

bool image_fits(std::uint64_t size, std::uint32_t address)
{
    return address + size <= address_space_size;
}

convert_result convert_images(const image_source *images, std::size_t count, std::FILE *output,
                              bool *holds_data, std::size_t *failed)
{
    // Data records come after an address record: none has been written
    // while this stays no_segment.
    std::uint32_t last_segment = no_segment;
    convert_result result = converted;
    for (std::size_t i = 0; i < count && result == converted; ++i) {
        result = convert_one(images[i], output, &last_segment);
        if (failed != nullptr)
            *failed = i;
    }
    if (holds_data != nullptr)
        *holds_data = last_segment != no_segment;
    if (result != converted)
        return result;
    if (!write_text(block_text, put_end_of_file(block_text), output) || std::fflush(output) != 0)
        return write_failed;
    return converted;
}

convert_result convert_image(std::FILE *input, std::FILE *output, bool *holds_data)
{
    const image_source image{input, load_address};
    return convert_images(&image, 1, output, holds_data);
}
