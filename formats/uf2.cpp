// UF2, the file a UF2 bootloader takes on the USB drive it shows (tinyuf2
// on STM32F4 and H7 boards): 512-byte blocks of 32-bit little-endian
// fields, each carrying the 256 bytes at a 256-aligned address, with the
// board family's ID. Every block holds the number of blocks, so the runs
// are planned first.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <cstring>

#include "formats.h"

namespace {

constexpr std::size_t uf2_block_size = 512;
constexpr std::size_t payload_size = 256;
constexpr std::size_t data_offset = 32; // after eight words of header
constexpr std::uint32_t first_magic = 0x0A324655, second_magic = 0x9E5D5157, final_magic = 0x0AB16F30;
constexpr std::uint32_t family_id_present = 0x00002000;

// The STM32 families of the UF2 family list, by their short names.
struct family_name {
    const char *name;
    std::uint32_t id;
};
const family_name families[] = {
    {"stm32f0", 0x647824B6},     {"stm32f1", 0x5EE21072},     {"stm32f2", 0x5D1A0A2E},
    {"stm32f3", 0x6B846188},     {"stm32f4", 0x57755A57},     {"stm32f407", 0x6D0922FA},
    {"stm32f407vg", 0x8FB060FE}, {"stm32f411xc", 0x06D1097B}, {"stm32f411xe", 0x2DC309C5},
    {"stm32f7", 0x53B80F00},     {"stm32g0", 0x300F5633},     {"stm32g4", 0x4C71240A},
    {"stm32h5", 0x4E8F1C5D},     {"stm32h7", 0x6DB66082},     {"stm32l0", 0x202E3A91},
    {"stm32l1", 0x1E1F432D},     {"stm32l4", 0x00FF6919},     {"stm32l5", 0x04240BDF},
    {"stm32wb", 0x70D16653},     {"stm32wl", 0x21460FF0},
};

std::uint32_t family; // the board family's ID, from -O uf2:FAMILY

std::uint32_t block_count;    // of the whole file, from the plan
std::uint32_t block_number;   // of the block being gathered
bool gathering;               // a block is being gathered
std::uint32_t block_address;  // its address
unsigned char *block;         // where it is gathered, in the staged output

bool same_name(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != *b)
            return false;
    return *a == *b;
}

} // namespace

// The family of the blocks, for -v: its name, when it is an STM32's, and
// its ID.
void describe_uf2_stretch(std::FILE * /*unused*/, const part_stretch &stretch, char *text, std::size_t size)
{
    const auto *known = std::find_if(std::begin(families), std::end(families),
                                     [&](const family_name &candidate) { return candidate.id == stretch.detail; });
    if (stretch.detail == 0) {
        std::snprintf(text, size, "no family ID");
        return;
    }
    char name[16] = "";
    for (std::size_t i = 0; known != std::end(families) && i + 1 < sizeof name && known->name[i] != '\0'; ++i)
        name[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(known->name[i])));
    std::snprintf(text, size, "family %s%s0x%08" PRIX32, name, name[0] != '\0' ? ", " : "", stretch.detail);
}

namespace {

bool configure(const char *parameters)
{
    if (parameters == nullptr)
        return false; // a file for the wrong family is ignored by the board: no guessing
    const auto *known = std::find_if(std::begin(families), std::end(families),
                                     [&](const family_name &candidate) { return same_name(parameters, candidate.name); });
    if (known != std::end(families)) {
        family = known->id;
        return true;
    }
    if (parameters[0] == '0' && (parameters[1] == 'x' || parameters[1] == 'X') &&
        std::strspn(parameters + 2, "0123456789abcdefABCDEF") == 8 && parameters[10] == '\0') {
        family = static_cast<std::uint32_t>(std::strtoul(parameters + 2, nullptr, 16));
        return true;
    }
    return false;
}

// The blocks the runs touch; two runs may share one.
std::uint64_t blocks_of(const run_list &plan)
{
    std::uint64_t count = 0;
    std::uint64_t last = UINT64_MAX; // the last block counted
    for (std::size_t i = 0; i < plan.count; ++i) {
        const std::uint64_t first = plan.items[i].address / payload_size;
        const std::uint64_t end = (plan.items[i].address + plan.items[i].size - 1) / payload_size;
        count += end - first + 1 - (first == last ? 1 : 0);
        last = end;
    }
    return count;
}

plan_verdict judge(const run_list &plan, std::size_t * /*unused*/)
{
    return plan.count == 0 ? plan_empty : plan_fits;
}

bool start(std::FILE *stream, const char * /*unused*/, const run_list *plan, std::uint32_t /*unused*/)
{
    block_count = static_cast<std::uint32_t>(blocks_of(*plan));
    block_number = 0;
    gathering = false;
    stage_start(stream);
    return true;
}

// Starts the block at `address`, its bytes erased; false when the output
// refuses the blocks before it.
bool open_block(std::uint32_t address)
{
    if ((block = stage_room(uf2_block_size)) == nullptr)
        return false;
    put_le32(block, first_magic);
    put_le32(block + 4, second_magic);
    put_le32(block + 8, family_id_present);
    put_le32(block + 12, address);
    put_le32(block + 16, payload_size);
    put_le32(block + 20, block_number);
    put_le32(block + 24, block_count);
    put_le32(block + 28, family);
    std::memset(block + data_offset, blank_byte, payload_size);
    std::memset(block + data_offset + payload_size, 0, uf2_block_size - 4 - data_offset - payload_size);
    put_le32(block + uf2_block_size - 4, final_magic);
    block_address = address;
    gathering = true;
    return true;
}

// Ends the block being gathered.
void close_block()
{
    gathering = false;
    ++block_number;
}

convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    while (count > 0) {
        const std::uint32_t base = address & ~std::uint32_t{payload_size - 1};
        if (gathering && base != block_address)
            close_block();
        if (!gathering) {
            if (block_number == block_count)
                return image_changed; // more blocks than planned: an input changed
            if (!open_block(base))
                return write_failed;
        }
        const std::size_t offset = address - base;
        const std::size_t taken = std::min(count, payload_size - offset);
        std::memcpy(block + data_offset + offset, bytes, taken);
        address += static_cast<std::uint32_t>(taken);
        bytes += taken;
        count -= taken;
    }
    return converted;
}

convert_result finish(bool complete)
{
    if (gathering)
        close_block();
    if (complete && block_number != block_count)
        return image_changed;
    return stage_finish();
}

} // namespace

const file_format uf2{"uf2", "UF2", "a", "uf2:FAMILY",
                        ", FAMILY one of stm32f0 stm32f1 stm32f2 stm32f3 stm32f4 stm32f407 stm32f407vg stm32f411xc "
                        "stm32f411xe stm32f7 stm32g0 stm32g4 stm32h5 stm32h7 stm32l0 stm32l1 stm32l4 stm32l5 stm32wb "
                        "stm32wl (any case), or 0x and 8 hexadecimal digits",
                        ".uf2 ", ".uf2", "", configure, true, true, judge, {start, put, finish}, &uf2_reader, "",
                      true, describe_uf2_stretch, false};
