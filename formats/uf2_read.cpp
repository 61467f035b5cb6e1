// The UF2 reader. A file is 512-byte blocks, each: two magic numbers,
// flags, the target address, the payload's size (at most 476), the
// block's number and the file's count of blocks, the family ID (when its
// flag says so), 476 bytes holding the payload, and a final magic number.
// Each block is checked (magic numbers, flags, payload size, block
// numbers, family) before any is used. Every block of main flash is data
// at its target address, the padding of partly used blocks included: the
// file cannot tell padding from data.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "formats.h"

namespace {

constexpr std::size_t uf2_block_size = 512;
constexpr std::size_t largest_payload = 476;
constexpr std::size_t data_offset = 32;
constexpr std::uint32_t first_magic = 0x0A324655, second_magic = 0x9E5D5157, final_magic = 0x0AB16F30;
constexpr std::uint32_t not_main_flash = 0x00000001, file_container = 0x00001000, family_id_present = 0x00002000;
constexpr std::uint64_t address_space_size = std::uint64_t{1} << 32;
// Blocks are read this many at a time.
constexpr std::size_t blocks_per_read = 256;

// The reader's state in its cursor: the stretch being handed over and the
// blocks read for it.
struct uf2_cursor {
    std::uint64_t next;          // the address the next block must have
    std::uint64_t left;          // bytes of the stretch not yet read
    std::size_t held, used;      // blocks in `blocks`, and those handed over
    pending_bytes pending;       // of the payload, not yet handed over
    unsigned char blocks[blocks_per_read * uf2_block_size];
};

// One block's fields.
struct block_fields {
    std::uint32_t flags, address, payload, number, count, family;
};

block_fields fields_of(const unsigned char *block)
{
    return {get_le32(block + 8),  get_le32(block + 12), get_le32(block + 16),
            get_le32(block + 20), get_le32(block + 24), get_le32(block + 28)};
}

// Checks block `index`; a fault, or part_well_formed.
part_fault check_block(const unsigned char *block, std::uint64_t index)
{
    const block_fields fields = fields_of(block);
    if (get_le32(block) != first_magic || get_le32(block + 4) != second_magic)
        return make_fault(part_malformed, 0, "block %" PRIu64 " does not start with the UF2 magic numbers", index);
    if (get_le32(block + uf2_block_size - 4) != final_magic)
        return make_fault(part_malformed, 0, "block %" PRIu64 " does not end with the UF2 magic number", index);
    if ((fields.flags & file_container) != 0)
        return make_fault(part_malformed, 0, "block %" PRIu64 " belongs to a file container: the file holds files, "
                          "not flash contents", index);
    if (fields.payload > largest_payload)
        return make_fault(part_malformed, 0, "block %" PRIu64 " holds a payload of %" PRIu32 " bytes, 476 at most",
                          index, fields.payload);
    if (fields.number >= fields.count)
        return make_fault(part_malformed, 0, "block %" PRIu64 " is numbered %" PRIu32 " of %" PRIu32 " blocks", index,
                          fields.number, fields.count);
    if ((fields.flags & not_main_flash) == 0 && fields.address + std::uint64_t{fields.payload} > address_space_size)
        return make_fault(part_past_top, 0, "block %" PRIu64 " at 0x%" PRIX32 " passes 0xFFFFFFFF", index,
                          fields.address);
    return {part_well_formed, 0, 0, {}};
}

// The numbers of the blocks read: each file's blocks are numbered 0 to
// its count less one, each once, in any order; a file may join several.
struct numbering {
    std::uint32_t count;   // of the blocks of the file being read; 0 before its first
    std::uint64_t seen;    // of those, the ones read
    std::uint64_t kept;    // the numbers below this have a bit in `read`
    unsigned char *read;   // a bit for each number read (the owner frees it)
};

// Where the first reading stands between blocks.
struct gathering {
    bool open;             // the last stretch may still grow
    bool has_family;
    std::uint32_t family;  // of the first block that gives one
    numbering numbers;
};

// The first number the open file's blocks lack.
std::uint64_t first_missing(const numbering &numbers)
{
    std::uint64_t number = 0;
    while (number < numbers.kept && (numbers.read[number / 8] >> (number % 8) & 1) != 0)
        ++number;
    return number;
}

part_fault missing_block(const numbering &numbers)
{
    return make_fault(part_malformed, 0, "block %" PRIu64 " of %" PRIu32 " is missing: the file may have been cut short",
                      first_missing(numbers), numbers.count);
}

// Notes the number of a block of a file of `blocks` blocks: a fault when
// it repeats one of the file being read, or belongs to another file
// before that one is whole.
part_fault count_block(const block_fields &fields, std::uint64_t blocks, numbering *numbers)
{
    const bool repeated = numbers->count != 0 && fields.number < numbers->kept &&
                          (numbers->read[fields.number / 8] >> (fields.number % 8) & 1) != 0;
    if (numbers->count != 0 && (fields.count != numbers->count || repeated))
        return missing_block(*numbers);
    if (numbers->count == 0) {
        // The smallest number missing is at most the blocks the file holds.
        const std::uint64_t kept = std::min<std::uint64_t>(fields.count, blocks + 1);
        std::free(numbers->read);
        *numbers = {fields.count, 0, kept, static_cast<unsigned char *>(std::calloc((kept + 7) / 8, 1))};
        if (numbers->read == nullptr)
            return {part_out_of_memory, 0, 0, {}};
    }
    if (fields.number < numbers->kept)
        numbers->read[fields.number / 8] |= static_cast<unsigned char>(1u << (fields.number % 8));
    if (++numbers->seen == numbers->count)
        numbers->count = 0; // whole: a block after it starts another file
    return {part_well_formed, 0, 0, {}};
}

// Checks block `index` at `offset` and gathers its payload.
part_fault take_block(const unsigned char *block, std::uint64_t index, std::uint64_t blocks, gathering *state,
                      part_stretches *stretches)
{
    part_fault fault = check_block(block, index);
    const block_fields fields = fields_of(block);
    if (fault.verdict == part_well_formed)
        fault = count_block(fields, blocks, &state->numbers);
    if (fault.verdict != part_well_formed)
        return fault;
    const std::uint64_t offset = index * uf2_block_size;
    if ((fields.flags & family_id_present) != 0) {
        if (state->has_family && fields.family != state->family)
            return make_fault(part_malformed, 0, "blocks carry the family IDs 0x%08" PRIX32 " and 0x%08" PRIX32
                              " (block %" PRIu64 "): the file holds images for several devices, and no single flash "
                              "takes them all", state->family, fields.family, index);
        state->has_family = true;
        state->family = fields.family;
    }
    // A block for something else than main flash is skipped, as UF2
    // bootloaders skip it; it ends the stretch, which is read block by block.
    if ((fields.flags & not_main_flash) != 0 || fields.payload == 0) {
        state->open = false;
        return fault;
    }
    part_stretch *last = state->open ? &stretches->items[stretches->count - 1] : nullptr;
    if (last != nullptr && last->address + last->size == fields.address)
        last->size += fields.payload;
    else if (!add_stretch(stretches, {fields.address, fields.payload, offset, index, 0}))
        return {part_out_of_memory, 0, 0, {}};
    state->open = true;
    return fault;
}

// The block of `stretch` that holds `address`, by reading its blocks again.
std::uint64_t block_holding(std::FILE *input, const part_stretch &stretch, std::uint32_t address)
{
    unsigned char block[uf2_block_size];
    for (std::uint64_t index = stretch.number;; ++index) {
        if (!read_at(input, stretch.offset + (index - stretch.number) * uf2_block_size, block, sizeof block))
            return stretch.number;
        const block_fields fields = fields_of(block);
        if (address - fields.address < fields.payload)
            return index;
    }
}

// Reads and takes the file's `count` blocks, `blocks` holding a batch;
// the first fault.
part_fault take_blocks(std::FILE *input, unsigned char *blocks, std::uint64_t count, gathering *state,
                       part_stretches *stretches)
{
    for (std::uint64_t index = 0; index < count;) {
        const auto batch = static_cast<std::size_t>(std::min<std::uint64_t>(count - index, blocks_per_read));
        if (std::fread(blocks, uf2_block_size, batch, input) != batch)
            return {part_read_failed, 0, 0, {}};
        for (std::size_t i = 0; i < batch; ++i, ++index) {
            const part_fault fault = take_block(blocks + i * uf2_block_size, index, count, state, stretches);
            if (fault.verdict != part_well_formed)
                return fault;
        }
    }
    return state->numbers.count != 0 ? missing_block(state->numbers) : part_fault{part_well_formed, 0, 0, {}};
}

part_fault read(part_cursor *cursor, std::uint64_t size, part_stretches *stretches)
{
    std::FILE *input = cursor->input;
    unsigned char *blocks = cursor_state<uf2_cursor>(cursor).blocks;
    if (size % uf2_block_size != 0)
        return make_fault(part_malformed, 0, "its size, %" PRIu64 " bytes, is not a multiple of 512; it may have been "
                          "cut short", size);
    if (!seek_to(input, 0))
        return {part_read_failed, 0, 0, {}};
    gathering state{false, false, 0, {0, 0, 0, nullptr}};
    const part_fault fault = take_blocks(input, blocks, size / uf2_block_size, &state, stretches);
    std::free(state.numbers.read);
    if (fault.verdict != part_well_formed)
        return fault;
    // The family, shown by -v, goes with every stretch.
    for (std::size_t i = 0; i < stretches->count; ++i)
        stretches->items[i].detail = state.family;
    const part_stretch *first = nullptr;
    const part_stretch *second = nullptr;
    std::uint32_t address = 0;
    if (!sort_stretches(stretches, &first, &second, &address))
        return {part_well_formed, 0, 0, {}};
    const std::uint64_t earlier = block_holding(input, *first, address);
    return make_fault(part_malformed, 0, "blocks %" PRIu64 " and %" PRIu64 " share the address 0x%" PRIX32,
                      std::min(earlier, second->number), std::max(earlier, second->number), address);
}

bool recognise(const unsigned char *head, std::size_t size, recognition /*unused*/)
{
    return size >= 8 && get_le32(head) == first_magic && get_le32(head + 4) == second_magic;
}

bool open(part_cursor *cursor, const part_stretch &stretch, bool /*unused*/)
{
    uf2_cursor &taking = cursor_state<uf2_cursor>(cursor);
    taking.next = stretch.address;
    taking.left = stretch.size;
    taking.held = taking.used = 0;
    taking.pending.size = 0;
    return seek_to(cursor->input, stretch.offset);
}

// The next block of the stretch, read a batch at a time; null at a fault.
const unsigned char *next_block(part_cursor *cursor, convert_result *result)
{
    uf2_cursor &taking = cursor_state<uf2_cursor>(cursor);
    if (taking.used == taking.held) {
        const std::uint64_t wanted = (taking.left + largest_payload - 1) / largest_payload; // at least as many
        const auto batch = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, blocks_per_read));
        taking.held = std::fread(taking.blocks, uf2_block_size, batch, cursor->input);
        taking.used = 0;
        if (taking.held == 0) {
            *result = std::ferror(cursor->input) != 0 ? read_failed : image_changed;
            return nullptr;
        }
    }
    return taking.blocks + uf2_block_size * taking.used++;
}

convert_result take(part_cursor *cursor, unsigned char *out, std::size_t room, std::size_t *taken)
{
    uf2_cursor &taking = cursor_state<uf2_cursor>(cursor);
    std::size_t count = 0;
    while (count < room && (taking.pending.size > 0 || taking.left > 0)) {
        if (taking.pending.size > 0) {
            hand_over(&taking.pending, out, room, &count);
            continue;
        }
        convert_result result = converted;
        const unsigned char *block = next_block(cursor, &result);
        if (block == nullptr)
            return result;
        const block_fields fields = fields_of(block);
        if (check_block(block, 0).verdict != part_well_formed || (fields.flags & not_main_flash) != 0 ||
            fields.address != taking.next || fields.payload == 0 || fields.payload > taking.left)
            return image_changed;
        taking.pending = {block + data_offset, fields.payload};
        taking.next += fields.payload;
        taking.left -= fields.payload;
    }
    *taken = count;
    return converted;
}

} // namespace


const part_reader uf2_reader{recognise, read, open, take};
