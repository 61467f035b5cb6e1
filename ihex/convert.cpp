// The conversion loop: the image is read one 64 KiB block at a time, the
// block's records are formatted into one text buffer and leave in one write.
#include "ihex.h"
#include "hex_lines.h"
#include "records.h"

#include <algorithm>
#include <cstring>

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

// Feeds the `count` bytes at `address` to every region they lie in. The
// bytes come in address order, so only the regions from the first one not
// yet complete on can hold them.
void feed_regions(crc_region *open, std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    const std::uint64_t begin = address;
    const std::uint64_t end = begin + count;
    for (; open != nullptr && open->start < end; open = open->next) {
        crc_region &region = *open;
        const std::uint64_t first = std::max<std::uint64_t>(begin, region.start);
        const std::uint64_t last = std::min<std::uint64_t>(end, region.end);
        if (first < last)
            crc_feed(&region.state, bytes + (first - begin), static_cast<std::size_t>(last - first));
    }
}

// Where the conversion stands, from piece to piece.
struct conversion {
    crc_region *open_region; // the first region whose CRC is not written yet
    std::FILE *output;
    std::uint32_t last_segment; // upper address bits of the last record written
};

// The `count` bytes at image_buffer, which lie at `address`: into the CRCs,
// then out as records unless omission leaves the whole block out.
bool put_block(conversion *state, std::uint32_t address, std::size_t count)
{
    feed_regions(state->open_region, address, image_buffer, count);
    if (omit_blank != 0 && block_is_blank(image_buffer, count))
        return true;
    return write_text(block_text, format_block(block_text, address, count, &state->last_segment), state->output);
}

// An image of known size must end where its size says: a file that changed
// since its place was checked would put other bytes there than the CRC and
// the overlap checks saw.
convert_result check_image_end(const piece &image)
{
    const int more = std::fgetc(image.stream);
    if (std::ferror(image.stream) != 0)
        return read_failed;
    return more != EOF ? image_changed : converted;
}

// The records of one image, its lines counted from its own first byte.
convert_result convert_image_piece(piece *image, conversion *state)
{
    std::uint64_t image_size = 0; // bytes of the image read so far
    for (;;) {
        const std::size_t wanted = image->exact ? static_cast<std::size_t>(std::min<std::uint64_t>(block_size, image->size - image_size))
                                                : block_size;
        if (wanted == 0)
            break;
        std::size_t count = std::fread(image_buffer, 1, wanted, image->stream);
        if (std::ferror(image->stream) != 0)
            return read_failed;
        if (count == 0 && !image->exact)
            break;
        if (count < wanted && image->exact)
            return image_changed;
        // An image that passes the top (known only as it is read, from a
        // pipe) gets the lines that fit below it, then is refused.
        const bool passes_top = !image_fits(image_size + count, image->address);
        if (passes_top)
            count = lines_below_top(image->address, image_size);
        const auto block_address = static_cast<std::uint32_t>(image->address + image_size);
        image_size += count;
        if (!put_block(state, block_address, count))
            return write_failed;
        if (passes_top)
            return image_too_large;
        if (count < wanted)
            break; // the end of an image of unknown size
    }
    image->size = image_size;
    return image->exact ? check_image_end(*image) : converted;
}

// The 0xFF bytes of a fill, through the same formatting as an image's.
convert_result convert_fill_piece(const piece &fill, conversion *state)
{
    std::memset(image_buffer, blank_byte, static_cast<std::size_t>(std::min<std::uint64_t>(block_size, fill.size)));
    for (std::uint64_t done = 0; done < fill.size;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block_size, fill.size - done));
        if (!put_block(state, static_cast<std::uint32_t>(fill.address + done), count))
            return write_failed;
        done += count;
    }
    return converted;
}

// Puts the block at image_buffer out once it is full, a stretch being put
// out up to `done`; false when the output refuses it.
bool put_full_block(const piece &stretch, conversion *state, std::uint64_t *done, std::size_t *filled)
{
    if (*filled < block_size)
        return true;
    if (!put_block(state, static_cast<std::uint32_t>(stretch.address + *done), *filled))
        return false;
    *done += *filled;
    *filled = 0;
    return true;
}

// Adds a record's data to the block at image_buffer, `filled` bytes long,
// of a stretch put out up to `done`; a block ends every 64 KiB of the
// stretch, as an image's does. False when the output refuses a block.
bool put_record_data(const piece &stretch, const hex_record &record, conversion *state, std::uint64_t *done,
                     std::size_t *filled)
{
    const unsigned char *data = record.bytes + 4;
    for (std::size_t left = record.count; left > 0;) {
        const std::size_t taken = std::min(left, block_size - *filled);
        std::memcpy(image_buffer + *filled, data, taken);
        data += taken;
        left -= taken;
        *filled += taken;
        if (!put_full_block(stretch, state, done, filled))
            return false;
    }
    return true;
}

// The full lines that go on from the offset field `offset`, decoded
// straight into the block.
bool put_full_run(const piece &stretch, hex_cursor *cursor, unsigned offset, conversion *state, std::uint64_t *done,
                  std::size_t *filled)
{
    for (;;) {
        const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(block_size - *filled, stretch.size - *done - *filled));
        const std::size_t taken = take_full_run(cursor, offset, image_buffer + *filled, room);
        if (taken == 0)
            return true;
        offset += static_cast<unsigned>(taken);
        *filled += taken;
        if (!put_full_block(stretch, state, done, filled))
            return false;
    }
}

// A stretch of an Intel HEX file read again, its records decoded into
// blocks as an image's bytes are read: it must hold what the first reading
// found, or the file changed in between.
convert_result convert_hex_piece(const piece &stretch, conversion *state)
{
    hex_cursor cursor{};
    if (!start_reading(&cursor, stretch.stream, stretch.offset, 0))
        return read_failed;
    hex_record record{};
    hex_fault fault{};
    std::uint32_t base = stretch.segment_base;
    std::uint64_t done = 0;   // bytes of the stretch put out
    std::size_t filled = 0;   // bytes of the block at image_buffer
    while (done + filled < stretch.size) {
        const line_kind kind = take_line(&cursor, &record, &fault);
        if (kind == faulty_line && fault.kind == hex_read_failed)
            return read_failed;
        if (kind == faulty_line || kind == no_more_lines || (kind == record_line && record.type == 1))
            return image_changed;
        if (kind != record_line || record.count == 0 || (record.type != 0 && record.type != 2 && record.type != 4))
            continue;
        if (record.type != 0) {
            base = address_base(record);
            continue;
        }
        if (base + record.offset != stretch.address + done + filled || done + filled + record.count > stretch.size)
            return image_changed;
        if (!put_record_data(stretch, record, state, &done, &filled))
            return write_failed;
        if (!put_full_run(stretch, &cursor, record.offset + record.count, state, &done, &filled))
            return write_failed;
    }
    if (filled > 0 && !put_block(state, static_cast<std::uint32_t>(stretch.address + done), filled))
        return write_failed;
    return converted;
}

// A region's CRC, complete once every byte before its word has gone by.
convert_result convert_crc_piece(const piece &word, conversion *state)
{
    crc_region &region = *word.region;
    region.value = crc_finish(&region.state);
    state->open_region = region.next;
    for (std::size_t i = 0; i < 4; ++i)
        image_buffer[i] = static_cast<unsigned char>(region.value >> (8 * i));
    return put_block(state, word.address, 4) ? converted : write_failed;
}

} // namespace

bool image_fits(std::uint64_t size, std::uint32_t address)
{
    return address + size <= address_space_size;
}

convert_result convert_pieces(piece *pieces, std::size_t count, std::FILE *output, bool *holds_data,
                              std::size_t *failed)
{
    // Data records come after an address record: none has been written
    // while last_segment stays no_segment.
    conversion state{nullptr, output, no_segment};
    crc_region **link = &state.open_region; // the regions, linked in address order
    for (std::size_t i = 0; i < count; ++i)
        if (pieces[i].kind == crc_piece) {
            crc_start(&pieces[i].region->state, pieces[i].region->algorithm);
            *link = pieces[i].region;
            link = &pieces[i].region->next;
        }
    *link = nullptr;
    convert_result result = converted;
    for (std::size_t i = 0; i < count && result == converted; ++i) {
        switch (pieces[i].kind) {
        case image_piece:
            result = convert_image_piece(&pieces[i], &state);
            break;
        case fill_piece:
            result = convert_fill_piece(pieces[i], &state);
            break;
        case crc_piece:
            result = convert_crc_piece(pieces[i], &state);
            break;
        case hex_piece:
            result = convert_hex_piece(pieces[i], &state);
            break;
        }
        if (failed != nullptr)
            *failed = i;
    }
    if (holds_data != nullptr)
        *holds_data = state.last_segment != no_segment;
    if (result != converted)
        return result;
    if (!write_text(block_text, put_end_of_file(block_text), output) || std::fflush(output) != 0)
        return write_failed;
    return converted;
}

convert_result convert_image(std::FILE *input, std::FILE *output, bool *holds_data)
{
    piece image{image_piece, load_address, 0, false, input, nullptr, 0, 0, nullptr};
    return convert_pieces(&image, 1, output, holds_data);
}
