// The walk over the laid-out pieces: each is read one 64 KiB block at a
// time, its bytes feed the CRCs of the regions they lie in, and they go to
// the output's format as runs, all of them or, with omission, the lines
// that are not blank.
#include "convert.h"
#include "blank.h"
#include "mcuboot.h"
#include "output.h"
#include "part.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint64_t address_space_size = std::uint64_t{1} << 32;
// The current block of the image.
unsigned char image_buffer[block_size];
// Where the walk stands in the part it takes from: kept from one of its
// pieces to the next, so that a reader goes on from the text it holds.
part_cursor cursor;

// The bytes from image offset `image_size` on that form whole lines below
// the top of the address space.
std::size_t lines_below_top(std::uint32_t address, std::uint64_t image_size)
{
    const std::uint64_t room = address_space_size - address - image_size;
    return static_cast<std::size_t>(room - room % line_size);
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
    mcuboot_slot *slot;      // the MCUboot slot, or null
    const format_writer *writer;
    const walk_settings *settings;
    bool holds_data;         // a run has gone out
};

// The `count` bytes at `bytes`, which lie at `address`, as the slot's image
// has them: its header's fields over whatever the build left at its start,
// then into its hash.
void seal_into_slot(mcuboot_slot *slot, std::uint32_t address, unsigned char *bytes, std::size_t count)
{
    const std::uint64_t begin = address;
    const std::uint64_t end = begin + count;
    const std::uint64_t start = slot->request.start;
    const std::uint64_t header_end = start + mcuboot_header_fields;
    if (begin < header_end && end > start) {
        const std::uint64_t first = std::max(begin, start);
        const std::uint64_t last = std::min(end, header_end);
        std::memcpy(bytes + (first - begin), slot->header + (first - start), static_cast<std::size_t>(last - first));
    }
    const std::uint64_t hashed_end = mcuboot_hashed_end(*slot);
    if (begin < hashed_end && end > start) {
        const std::uint64_t first = std::max(begin, start);
        const std::uint64_t last = std::min(end, hashed_end);
        sha256_feed(&slot->hash, bytes + (first - begin), static_cast<std::size_t>(last - first));
    }
}

convert_result put_run(conversion *state, std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    state->holds_data = true;
    return state->writer->put(address, bytes, count);
}

// The runs that omission keeps of the `count` bytes at image_buffer, which
// lie at `address`: a blank 64 KiB block goes, and so does each blank line
// and each blank tail of 4 bytes or more; a run ends at a line cut short.
convert_result put_kept_runs(conversion *state, std::uint32_t address, std::size_t count)
{
    if (block_is_blank(image_buffer, count))
        return converted;
    std::size_t run_start = 0; // where the run being gathered starts in the block
    std::size_t run_size = 0;  // its bytes so far
    for (std::size_t n = 0; n < count; n += line_size) {
        const std::size_t length = std::min(count - n, line_size);
        const std::size_t kept = trim_blank_tail(image_buffer + n, length);
        if (kept > 0 && run_size == 0)
            run_start = n;
        run_size += kept;
        if (kept < length && run_size > 0) {
            const convert_result result = put_run(state, address + static_cast<std::uint32_t>(run_start), image_buffer + run_start, run_size);
            if (result != converted)
                return result;
            run_size = 0;
        }
    }
    return run_size > 0 ? put_run(state, address + static_cast<std::uint32_t>(run_start), image_buffer + run_start, run_size)
                        : converted;
}

// The `count` bytes at image_buffer, which lie at `address`: into the CRCs,
// then out, whole or as omission keeps them.
convert_result put_block(conversion *state, std::uint32_t address, std::size_t count)
{
    if (state->slot != nullptr)
        seal_into_slot(state->slot, address, image_buffer, count);
    feed_regions(state->open_region, address, image_buffer, count);
    if (count == 0)
        return converted;
    if (state->settings->omit_blank)
        return put_kept_runs(state, address, count);
    return put_run(state, address, image_buffer, count);
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

// Reads up to `wanted` bytes of an image into image_buffer: what is left of
// its head first, then its stream.
std::size_t read_image(piece *image, std::size_t wanted)
{
    const std::size_t from_head = std::min(wanted, image->head_size);
    if (from_head > 0) {
        std::memcpy(image_buffer, image->head, from_head);
        image->head += from_head;
        image->head_size -= from_head;
    }
    return from_head + (from_head < wanted ? std::fread(image_buffer + from_head, 1, wanted - from_head, image->stream) : 0);
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
        std::size_t count = read_image(image, wanted);
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
        const convert_result result = put_block(state, block_address, count);
        if (result != converted)
            return result;
        if (passes_top)
            return image_too_large;
        if (count < wanted)
            break; // the end of an image of unknown size
    }
    image->size = image_size;
    return image->exact ? check_image_end(*image) : converted;
}

// The bytes of a fill, through the same formatting as an image's.
convert_result convert_fill_piece(const piece &fill, conversion *state)
{
    for (std::uint64_t done = 0; done < fill.size;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block_size, fill.size - done));
        // Filled each time: the slot's header may have gone over the last block.
        std::memset(image_buffer, fill.fill, count);
        const convert_result result = put_block(state, static_cast<std::uint32_t>(fill.address + done), count);
        if (result != converted)
            return result;
        done += count;
    }
    return converted;
}

// A piece of a part, its stretches read again by the part's reader into
// blocks, as an image's bytes are read: each must hold what the first
// reading found, or the file changed in between. With a conversion, every
// block goes out; without one, only the first `wanted` bytes (at most a
// block) are read, and stay at image_buffer.
convert_result take_part_piece(const piece &from, conversion *state, std::uint64_t wanted)
{
    std::uint64_t done = 0;  // bytes of the piece put out
    std::size_t filled = 0;  // bytes of the block at image_buffer
    for (std::size_t i = 0; i < from.stretch_count && done + filled < wanted; ++i) {
        const part_stretch &stretch = from.stretches[i];
        if (!open_stretch(&cursor, *from.reader, from.stream, stretch))
            return read_failed;
        for (std::uint64_t left = stretch.size; left > 0 && done + filled < wanted;) {
            std::size_t taken = 0;
            const auto room = static_cast<std::size_t>(
                std::min<std::uint64_t>({block_size - filled, left, wanted - done - filled}));
            const convert_result result = from.reader->take(&cursor, image_buffer + filled, room, &taken);
            if (result != converted)
                return result;
            if (taken == 0 || taken > room)
                return image_changed;
            filled += taken;
            left -= taken;
            if (filled == block_size && state != nullptr) {
                const convert_result put = put_block(state, static_cast<std::uint32_t>(from.address + done), filled);
                if (put != converted)
                    return put;
                done += filled;
                filled = 0;
            }
        }
    }
    return state != nullptr ? put_block(state, static_cast<std::uint32_t>(from.address + done), filled) : converted;
}

// A region's CRC, complete once every byte before its word has gone by.
convert_result convert_crc_piece(const piece &word, conversion *state)
{
    crc_region &region = *word.region;
    region.value = crc_finish(&region.state);
    state->open_region = region.next;
    for (std::size_t i = 0; i < 4; ++i)
        image_buffer[i] = static_cast<unsigned char>(region.value >> (8 * i));
    return put_block(state, word.address, 4);
}

// Bytes known before the walk.
convert_result convert_known_piece(const piece &known, conversion *state)
{
    const auto count = static_cast<std::size_t>(known.size);
    std::memcpy(image_buffer, known.head, count);
    return put_block(state, known.address, count);
}

// A slot's TLV area, complete once every byte it hashes has gone by.
convert_result convert_tlv_piece(const piece &area, conversion *state)
{
    mcuboot_slot &slot = *area.slot;
    if (!mcuboot_seal(&slot))
        return signing_failed;
    state->slot = nullptr; // nothing after it is the image's
    std::memcpy(image_buffer, slot.tlv_area, slot.tlv_size);
    return put_block(state, area.address, slot.tlv_size);
}

} // namespace

bool image_fits(std::uint64_t size, std::uint32_t address)
{
    return address + size <= address_space_size;
}

convert_result convert_pieces(piece *pieces, std::size_t count, const format_writer &writer,
                              const walk_settings &settings, bool *holds_data, std::size_t *failed)
{
    conversion state{nullptr, nullptr, &writer, &settings, false};
    cursor.reader = nullptr; // the streams have moved since it was last used
    crc_region **link = &state.open_region; // the regions, linked in address order
    for (std::size_t i = 0; i < count; ++i)
        if (pieces[i].kind == crc_piece) {
            crc_start(&pieces[i].region->state, pieces[i].region->algorithm);
            *link = pieces[i].region;
            link = &pieces[i].region->next;
        } else if (pieces[i].kind == tlv_piece) {
            state.slot = pieces[i].slot;
            sha256_start(&state.slot->hash);
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
        case part_piece:
            result = take_part_piece(pieces[i], &state, pieces[i].size);
            break;
        case known_piece:
            result = convert_known_piece(pieces[i], &state);
            break;
        case tlv_piece:
            result = convert_tlv_piece(pieces[i], &state);
            break;
        }
        if (failed != nullptr)
            *failed = i;
    }
    if (holds_data != nullptr)
        *holds_data = state.holds_data;
    // After a failure the output keeps what went out before it.
    const convert_result ending = writer.finish(result == converted);
    return result == converted ? ending : result;
}

convert_result peek_pieces(const piece *pieces, std::size_t count, std::uint32_t address, std::size_t size,
                           unsigned char *bytes, unsigned char *present)
{
    std::memset(present, 0, size);
    cursor.reader = nullptr;
    const std::uint64_t end = std::uint64_t{address} + size;
    for (std::size_t i = 0; i < count; ++i) {
        const piece &each = pieces[i];
        const std::uint64_t first = std::max<std::uint64_t>(each.address, address);
        const std::uint64_t last = std::min<std::uint64_t>(each.address + each.size, end);
        if (first >= last)
            continue;
        const std::uint64_t offset = first - each.address; // in the piece
        const auto length = static_cast<std::size_t>(last - first);
        unsigned char *to = bytes + (first - address);
        switch (each.kind) {
        case image_piece:
            if (!read_at(each.stream, offset, to, length) || !seek_to(each.stream, 0))
                return std::ferror(each.stream) != 0 ? read_failed : image_changed;
            break;
        case part_piece: {
            const convert_result result = take_part_piece(each, nullptr, offset + length);
            if (result != converted)
                return result;
            std::memcpy(to, image_buffer + offset, length);
            break;
        }
        case fill_piece:
            std::memset(to, each.fill, length);
            break;
        case known_piece:
            std::memcpy(to, each.head + offset, length);
            break;
        case crc_piece:
        case tlv_piece:
            continue; // not known before the walk
        }
        std::memset(present + (first - address), 1, length);
    }
    return converted;
}

namespace {

// The list a plan gathers its runs in.
run_list *planned_runs;

// Adds a run to `runs`, joined to the last one when it touches it and goes
// to the same target.
convert_result add_run_to(run_list &runs, std::uint32_t address, std::uint64_t count, std::uint16_t target)
{
    if (runs.count > 0) {
        run &last = runs.items[runs.count - 1];
        if (last.address + last.size == address && last.target == target) {
            last.size += count;
            return converted;
        }
    }
    if (runs.count == runs.room) {
        const std::size_t room = runs.room == 0 ? 64 : 2 * runs.room;
        auto *items = static_cast<run *>(std::realloc(runs.items, room * sizeof(run)));
        if (items == nullptr)
            return out_of_memory;
        runs.items = items;
        runs.room = room;
    }
    runs.items[runs.count++] = {address, count, target};
    return converted;
}

// The same to the plan.
convert_result add_run(std::uint32_t address, std::uint64_t count)
{
    return add_run_to(*planned_runs, address, count, 0);
}

// Gives each run the target of the pieces (in address order, apart) that
// hold its bytes, split where they go to different ones.
convert_result assign_targets(const piece *pieces, std::size_t count, run_list *runs)
{
    if (std::none_of(pieces, pieces + count, [](const piece &each) { return each.target != 0; }))
        return converted;
    run_list split{nullptr, 0, 0, runs->targets, runs->target_count};
    convert_result result = converted;
    std::size_t holder = 0; // the first piece that ends past `at`
    for (std::size_t i = 0; i < runs->count && result == converted; ++i) {
        std::uint64_t at = runs->items[i].address;
        const std::uint64_t end = at + runs->items[i].size;
        while (at < end && result == converted) {
            while (holder < count && pieces[holder].address + pieces[holder].size <= at)
                ++holder;
            std::uint64_t stop = end; // no piece holds `at` or comes after it
            std::uint16_t target = 0;
            if (holder < count && pieces[holder].address <= at) {
                stop = std::min<std::uint64_t>(end, pieces[holder].address + pieces[holder].size);
                target = pieces[holder].target;
            } else if (holder < count) {
                stop = std::min<std::uint64_t>(end, pieces[holder].address);
            }
            result = add_run_to(split, static_cast<std::uint32_t>(at), stop - at, target);
            at = stop;
        }
    }
    std::free(runs->items);
    *runs = split;
    return result;
}

convert_result plan_run(std::uint32_t address, const unsigned char * /*unused*/, std::size_t count)
{
    return add_run(address, count);
}

convert_result plan_end(bool /*unused*/)
{
    return converted;
}

// A format that writes nothing and notes where its runs lie.
const format_writer planner{nullptr, plan_run, plan_end};

} // namespace

convert_result plan_runs(piece *pieces, std::size_t count, const walk_settings &settings, run_list *runs,
                         std::size_t *failed)
{
    planned_runs = runs;
    runs->count = 0;
    if (!settings.omit_blank) {
        // Every byte of every piece goes out: the runs are the pieces, the
        // touching ones joined.
        for (std::size_t i = 0; i < count; ++i) {
            *failed = i;
            const convert_result result = pieces[i].size > 0 ? add_run(pieces[i].address, pieces[i].size)
                                                             : converted;
            if (result != converted)
                return result;
        }
        return assign_targets(pieces, count, runs);
    }
    const convert_result result = convert_pieces(pieces, count, planner, settings, nullptr, failed);
    for (std::size_t i = 0; i < count && result == converted; ++i)
        if (pieces[i].kind == image_piece && std::fseek(pieces[i].stream, 0, SEEK_SET) != 0) {
            *failed = i;
            return read_failed;
        }
    return result == converted ? assign_targets(pieces, count, runs) : result;
}
