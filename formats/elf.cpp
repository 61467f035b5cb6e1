// The ELF reader: a linked program (ELF32 or ELF64, either byte order),
// read as objcopy -O ihex reads it. Every section that is loaded (SHF_ALLOC,
// with bytes in the file) is data at its load address: where a loadable
// segment holds it, the segment's physical address plus its place there,
// so that .data lands in flash behind .text. Every offset, size and count
// is checked against the file before it is used; no table is held whole.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "formats.h"

namespace {

constexpr unsigned elf_rel = 1, elf_exec = 2, elf_dyn = 3, elf_core = 4;
constexpr std::uint32_t pt_load = 1, pt_tls = 7;
constexpr std::uint32_t sht_strtab = 3, sht_nobits = 8;
constexpr std::uint64_t shf_alloc = 0x2, shf_tls = 0x400;
constexpr std::uint32_t pn_xnum = 0xFFFF, shn_xindex = 0xFFFF;
constexpr std::uint64_t address_space_size = std::uint64_t{1} << 32;
// A stretch's `where` for a segment, of a file without sections.
constexpr std::uint64_t segment_flag = std::uint64_t{1} << 63;

// The file's layout, from its header.
struct elf_view {
    bool is64, big_endian;
    std::uint64_t size;                 // of the file
    std::uint64_t phoff, phnum;         // program headers
    std::uint64_t shoff, shnum;         // section headers; shnum 0: none
    std::uint64_t shstrndx;             // 0: no names
    std::uint64_t strtab_offset, strtab_size; // the section name table, when there is one
    std::uint64_t entry;                // where the program starts
};

std::uint64_t get(const elf_view &elf, const unsigned char *at, std::size_t size)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value |= std::uint64_t{at[elf.big_endian ? size - 1 - i : i]} << (8 * i);
    return value;
}
// A field that is 4 bytes in ELF32 and 8 in ELF64, at its offset in each.
std::uint64_t get_word(const elf_view &elf, const unsigned char *entry, std::size_t offset32, std::size_t offset64)
{
    return elf.is64 ? get(elf, entry + offset64, 8) : get(elf, entry + offset32, 4);
}

// One section header's fields that matter here.
struct section {
    std::uint32_t name, type;
    std::uint64_t flags, address, offset, size, link, info;
};

std::size_t section_entry_size(const elf_view &elf)
{
    return elf.is64 ? 64 : 40;
}

bool read_section(std::FILE *input, const elf_view &elf, std::uint64_t index, section *out)
{
    unsigned char entry[64];
    if (!read_at(input, elf.shoff + index * section_entry_size(elf), entry, section_entry_size(elf)))
        return false;
    *out = {static_cast<std::uint32_t>(get(elf, entry, 4)), static_cast<std::uint32_t>(get(elf, entry + 4, 4)),
            get_word(elf, entry, 8, 8), get_word(elf, entry, 12, 16), get_word(elf, entry, 16, 24),
            get_word(elf, entry, 20, 32), get(elf, entry + (elf.is64 ? 40 : 24), 4),
            get(elf, entry + (elf.is64 ? 44 : 28), 4)};
    return true;
}

// True when `count` entries of `entry_size` bytes at `offset` lie inside the file.
bool table_fits(const elf_view &elf, std::uint64_t offset, std::uint64_t count, std::uint64_t entry_size)
{
    return offset <= elf.size && count <= (elf.size - offset) / entry_size;
}

// The name of section `index` whose name field is `name`, into `text`.
void section_name(std::FILE *input, const elf_view &elf, std::uint32_t name, char *text, std::size_t size)
{
    std::snprintf(text, size, "(unnamed)");
    if (elf.shstrndx == 0 || name >= elf.strtab_size)
        return;
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size - 1, elf.strtab_size - name));
    if (!read_at(input, elf.strtab_offset + name, text, count))
        return;
    text[count] = '\0'; // a name cut short where the table ends, or where `text` does
    for (char *c = text; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
            *c = '?'; // nothing from the file reaches the terminal as a control
}

// Reads section 0 and the counts that do not fit the header (extended
// numbering), and checks that the section header table fits in the file.
part_fault read_section_table(std::FILE *input, std::uint64_t entry_size, elf_view *elf)
{
    if (elf->shoff == 0) {
        elf->shnum = 0;
        return {part_well_formed, 0, 0, {}};
    }
    if (entry_size != section_entry_size(*elf))
        return make_fault(part_malformed, 0, "section header entries of %" PRIu64 " bytes; ELF%u's have %u",
                          entry_size, elf->is64 ? 64 : 32, static_cast<unsigned>(section_entry_size(*elf)));
    if (!table_fits(*elf, elf->shoff, 1, entry_size))
        return make_fault(part_malformed, 0, "the section header table lies past the end of the file; it may have "
                          "been cut short");
    section first{};
    if (!read_section(input, *elf, 0, &first))
        return {part_read_failed, 0, 0, {}};
    if (elf->shnum == 0)
        elf->shnum = first.size;
    if (elf->shstrndx == shn_xindex)
        elf->shstrndx = first.link;
    if (elf->phnum == pn_xnum)
        elf->phnum = first.info;
    if (!table_fits(*elf, elf->shoff, elf->shnum, entry_size))
        return make_fault(part_malformed, 0, "the section header table (%" PRIu64 " entries) does not fit in the "
                          "file; it may have been cut short", elf->shnum);
    return {part_well_formed, 0, 0, {}};
}

// Finds the section name table, when the file names its sections.
part_fault read_name_table(std::FILE *input, elf_view *elf)
{
    if (elf->shnum == 0)
        elf->shstrndx = 0;
    if (elf->shstrndx == 0)
        return {part_well_formed, 0, 0, {}};
    section names{};
    if (elf->shstrndx >= elf->shnum || !read_section(input, *elf, elf->shstrndx, &names) || names.type != sht_strtab ||
        names.offset > elf->size || names.size > elf->size - names.offset)
        return make_fault(part_malformed, 0, "the section name table (section %" PRIu64 ") is not a string table "
                          "inside the file", elf->shstrndx);
    elf->strtab_offset = names.offset;
    elf->strtab_size = names.size;
    return {part_well_formed, 0, 0, {}};
}

// Reads and checks the header and the layout of the tables.
part_fault read_header(std::FILE *input, std::uint64_t size, elf_view *elf)
{
    unsigned char header[64] = {};
    const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof header));
    if (!read_at(input, 0, header, got))
        return {part_read_failed, 0, 0, {}};
    if (got < 16 || (header[4] != 1 && header[4] != 2) || (header[5] != 1 && header[5] != 2))
        return make_fault(part_malformed, 0, "not an ELF file of a class and byte order it defines");
    *elf = {header[4] == 2, header[5] == 2, size, 0, 0, 0, 0, 0, 0, 0, 0};
    if (got < (elf->is64 ? 64u : 52u))
        return make_fault(part_malformed, 0, "the ELF header does not fit in the file; it may have been cut short");
    const auto type = static_cast<unsigned>(get(*elf, header + 16, 2));
    if (type == elf_rel)
        return make_fault(part_malformed, 0, "an object file (ELF type ET_REL), not yet linked: give the linker's output");
    if (type == elf_core)
        return make_fault(part_malformed, 0, "a core file (ELF type ET_CORE), not a program");
    if (type != elf_exec && type != elf_dyn)
        return make_fault(part_malformed, 0, "ELF type %u, which is not a linked program", type);
    const unsigned char *tail = header + (elf->is64 ? 52 : 40); // e_ehsize onwards
    const std::uint64_t program_entry_size = get(*elf, tail + 2, 2);
    elf->entry = get_word(*elf, header, 24, 24);
    elf->phoff = get_word(*elf, header, 28, 32);
    elf->phnum = get(*elf, tail + 4, 2);
    elf->shoff = get_word(*elf, header, 32, 40);
    elf->shnum = get(*elf, tail + 8, 2);
    elf->shstrndx = get(*elf, tail + 10, 2);
    const part_fault fault = read_section_table(input, get(*elf, tail + 6, 2), elf);
    if (fault.verdict != part_well_formed)
        return fault;
    const unsigned standard_size = elf->is64 ? 56 : 32;
    if (elf->phnum > 0 && program_entry_size != standard_size)
        return make_fault(part_malformed, 0, "program header entries of %" PRIu64 " bytes; ELF%u's have %u",
                          program_entry_size, elf->is64 ? 64 : 32, standard_size);
    if (elf->phnum > 0 && !table_fits(*elf, elf->phoff, elf->phnum, program_entry_size))
        return make_fault(part_malformed, 0, "the program header table (%" PRIu64 " entries) does not fit in the file; "
                          "it may have been cut short", elf->phnum);
    return read_name_table(input, elf);
}

// A loadable or thread-local segment: where its bytes lie in the file,
// and its addresses.
struct segment {
    std::uint32_t type;
    std::uint64_t offset, file_size, physical, virtual_address, memory_size;
};
// Those segments, in program header order; freed after each reading.
struct segment_list {
    segment *items;
    std::size_t count;
    std::size_t room;
    bool any_physical;      // a program header of any type has a physical address
    std::size_t used_loads; // loadable segments that take memory
};

part_fault read_segments(std::FILE *input, const elf_view &elf, segment_list *segments)
{
    const std::size_t entry_size = elf.is64 ? 56 : 32;
    if (elf.phnum > 0 && !seek_to(input, elf.phoff))
        return {part_read_failed, 0, 0, {}};
    for (std::uint64_t i = 0; i < elf.phnum; ++i) {
        unsigned char entry[56];
        if (std::fread(entry, 1, entry_size, input) != entry_size)
            return {part_read_failed, 0, 0, {}};
        const auto type = static_cast<std::uint32_t>(get(elf, entry, 4));
        segments->any_physical = segments->any_physical || get_word(elf, entry, 12, 24) != 0;
        if (type == pt_load && get_word(elf, entry, 20, 40) != 0)
            ++segments->used_loads;
        if (type != pt_load && type != pt_tls)
            continue;
        if (segments->count == segments->room) {
            const std::size_t room = segments->room == 0 ? 8 : 2 * segments->room;
            void *grown = std::realloc(segments->items, room * sizeof(segment));
            if (grown == nullptr)
                return {part_out_of_memory, 0, 0, {}};
            segments->items = static_cast<segment *>(grown);
            segments->room = room;
        }
        segments->items[segments->count++] = {type, get_word(elf, entry, 4, 8), get_word(elf, entry, 16, 32),
                                              get_word(elf, entry, 12, 24), get_word(elf, entry, 8, 16),
                                              get_word(elf, entry, 20, 40)};
    }
    return {part_well_formed, 0, 0, {}};
}

// True when `range` (from `start`, `size` long) lies inside the one from
// `holder_start`, `holder_size` long.
bool lies_inside(std::uint64_t start, std::uint64_t size, std::uint64_t holder_start, std::uint64_t holder_size)
{
    return start >= holder_start && start - holder_start <= holder_size && size <= holder_size - (start - holder_start);
}

// A section's load address, as binutils gives it: in the first segment
// that holds both its bytes in the file and its address (a loadable one,
// or the thread-local one for a thread-local section), the segment's
// physical address plus its place there; else its own address.
std::uint64_t load_address_of(const section &held, const segment_list &segments, bool physical_addresses)
{
    const std::uint32_t holder_type = (held.flags & shf_tls) != 0 ? pt_tls : pt_load;
    for (std::size_t i = 0; physical_addresses && i < segments.count; ++i) {
        const segment &holder = segments.items[i];
        if (holder.type == holder_type && lies_inside(held.offset, held.size, holder.offset, holder.file_size) &&
            lies_inside(held.address, held.size, holder.virtual_address, holder.memory_size))
            return holder.physical + (held.offset - holder.offset);
    }
    return held.address;
}

// What a stretch is, as messages and -v name it: its section's name, or
// its segment's number.
void describe(std::FILE *input, const elf_view &elf, const part_stretch &stretch, char *text, std::size_t size)
{
    if ((stretch.number & segment_flag) != 0) {
        std::snprintf(text, size, "loadable segment %" PRIu64, stretch.number & ~segment_flag);
        return;
    }
    char name[64];
    section_name(input, elf, stretch.detail, name, sizeof name);
    std::snprintf(text, size, "section %s", name);
}

// Adds a stretch of `size` bytes at `offset` of the file, loaded at
// `address`; faults name it as `describe` does, from `where` and `name`
// (a section's number and name field, or a segment's number).
part_fault add_data(std::FILE *input, const elf_view &elf, std::uint64_t address, std::uint64_t offset,
                    std::uint64_t size, std::uint64_t where, std::uint32_t name, part_stretches *stretches)
{
    const part_stretch stretch{static_cast<std::uint32_t>(address), size, offset, where, name};
    const bool past_end = offset > elf.size || size > elf.size - offset;
    const bool past_top = address >= address_space_size || size > address_space_size - address;
    if (!past_end && !past_top)
        return add_stretch(stretches, stretch) ? part_fault{part_well_formed, 0, 0, {}} : part_fault{part_out_of_memory, 0, 0, {}};
    char what[80];
    describe(input, elf, stretch, what, sizeof what);
    if (past_end)
        return make_fault(part_malformed, 0, "%s lies past the end of the file; it may have been cut short", what);
    return make_fault(part_past_top, 0, "%s at 0x%" PRIX64 " passes 0xFFFFFFFF", what, address);
}

// True when a loadable segment has a physical address.
bool has_physical_addresses(const segment_list &segments)
{
    for (std::size_t i = 0; i < segments.count; ++i)
        if (segments.items[i].type == pt_load && segments.items[i].physical != 0)
            return true;
    return false;
}

// The sections that are loaded, each at its load address. Linkers that
// leave physical addresses out write 0 in all of them: binutils then takes
// the sections' own addresses, unless a single loadable segment takes
// memory, which then loads at 0. Loadable segments at 0 beside a
// thread-local one at another address are left out too: binutils would
// write records that overlap.
part_fault read_sections(std::FILE *input, const elf_view &elf, const segment_list &segments, part_stretches *stretches)
{
    const bool physical_addresses =
        has_physical_addresses(segments) || (!segments.any_physical && segments.used_loads <= 1);
    for (std::uint64_t i = 1; i < elf.shnum; ++i) {
        section loaded{};
        if (!read_section(input, elf, i, &loaded))
            return {part_read_failed, 0, 0, {}};
        if ((loaded.flags & shf_alloc) == 0 || loaded.type == sht_nobits || loaded.size == 0)
            continue;
        const part_fault fault = add_data(input, elf, load_address_of(loaded, segments, physical_addresses), loaded.offset,
                                          loaded.size, i, loaded.name, stretches);
        if (fault.verdict != part_well_formed)
            return fault;
    }
    return {part_well_formed, 0, 0, {}};
}

// A file without sections: the bytes of each loadable segment, at its
// physical address (its virtual one when no segment has a physical address).
part_fault read_segment_data(std::FILE *input, const elf_view &elf, const segment_list &segments,
                             part_stretches *stretches)
{
    const bool physical_addresses = has_physical_addresses(segments);
    for (std::size_t i = 0; i < segments.count; ++i) {
        const segment &data = segments.items[i];
        if (data.type != pt_load || data.file_size == 0)
            continue;
        const part_fault fault = add_data(input, elf, physical_addresses ? data.physical : data.virtual_address,
                                          data.offset, data.file_size, segment_flag | i, 0, stretches);
        if (fault.verdict != part_well_formed)
            return fault;
    }
    return {part_well_formed, 0, 0, {}};
}

part_fault read_part(std::FILE *input, std::uint64_t size, part_stretches *stretches)
{
    elf_view elf{};
    part_fault fault = read_header(input, size, &elf);
    if (fault.verdict != part_well_formed)
        return fault;
    segment_list segments{nullptr, 0, 0, false, 0};
    fault = read_segments(input, elf, &segments);
    if (fault.verdict == part_well_formed)
        fault = elf.shnum > 0 ? read_sections(input, elf, segments, stretches)
                              : read_segment_data(input, elf, segments, stretches);
    std::free(segments.items);
    if (fault.verdict != part_well_formed)
        return fault;
    // A 64-bit entry point has no place in 32-bit records.
    stretches->entry = elf.entry < address_space_size ? static_cast<std::uint32_t>(elf.entry) : 0;
    const part_stretch *first = nullptr;
    const part_stretch *second = nullptr;
    std::uint32_t address = 0;
    if (!sort_stretches(stretches, &first, &second, &address))
        return fault;
    char first_name[80];
    char second_name[80];
    describe(input, elf, *first, first_name, sizeof first_name);
    describe(input, elf, *second, second_name, sizeof second_name);
    return make_fault(part_malformed, 0, "%s and %s share the load address 0x%" PRIX32, first_name, second_name, address);
}

bool recognise(const unsigned char *head, std::size_t size, recognition /*unused*/)
{
    return size >= 4 && std::memcmp(head, "\x7F" "ELF", 4) == 0;
}

// The section's name for -v, from the file's own tables, read again.
void name_of(std::FILE *input, const part_stretch &stretch, char *text, std::size_t size)
{
    elf_view elf{};
    long end = 0;
    if (std::fseek(input, 0, SEEK_END) == 0 && (end = std::ftell(input)) >= 0 &&
        read_header(input, static_cast<std::uint64_t>(end), &elf).verdict == part_well_formed)
        describe(input, elf, stretch, text, size);
    else
        std::snprintf(text, size, "?");
}

part_fault read(part_cursor *cursor, std::uint64_t size, part_stretches *stretches)
{
    return read_part(cursor->input, size, stretches);
}

const part_reader elf_reader{recognise, read, open_file_bytes, take_file_bytes};

} // namespace

const file_format elf_format{nullptr, "ELF", "an", "", "", "", "", "", nullptr, true, false, nullptr, {nullptr, nullptr, nullptr},
                             &elf_reader, "", true, name_of, true};
