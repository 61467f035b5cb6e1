#include "layout.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <cstdlib>
#include <utility>

#include "convert/blank.h"
#include "convert/mcuboot.h"
#include "key.h"
#include "messages.h"
#include "system.h"

namespace {

constexpr std::uint64_t address_space_size = std::uint64_t{1} << 32;
constexpr std::uint32_t crc_word_size = 4;

// Opens an image or part for binary reading: "-" is standard input.
std::FILE *open_input(const char *path)
{
    return std::strcmp(path, "-") == 0 ? standard_input() : open_image(path);
}

// The operand's first bytes, when it comes from a pipe: they are read to
// tell its format, and come first when it is converted as an image.
unsigned char operand_head[part_head_size];

// Reads up to part_head_size bytes from the start of `stream`; how many.
std::size_t read_head(std::FILE *stream, unsigned char *head)
{
    return std::fread(head, 1, part_head_size, stream);
}

// The head of a file whose first `size` bytes at `head` are white space
// only: read again from its first character that is not, however far, when
// the file can be read there; its size. A text file may start with any
// number of empty lines.
std::size_t read_visible_head(std::FILE *stream, unsigned char *head, std::size_t size)
{
    if (size < part_head_size || first_visible(head, size) >= 0)
        return size;
    std::uint64_t offset = size;
    for (std::size_t count = 0; (count = read_head(stream, head)) > 0; offset += count) {
        std::size_t at = 0;
        while (at < count && (head[at] == ' ' || head[at] == '\t' || head[at] == '\r' || head[at] == '\n'))
            ++at;
        if (at < count)
            return seek_to(stream, offset + at) ? read_head(stream, head) : 0;
    }
    return 0;
}

// The format whose reader recognises `head`, or null.
const file_format *format_of(const unsigned char *head, std::size_t size, recognition how)
{
    for (std::size_t i = 0; i < file_format_count; ++i) {
        const part_reader *reader = file_formats[i]->reader;
        if (reader != nullptr && reader->recognise(head, size, how))
            return file_formats[i];
    }
    return nullptr;
}

// Refuses a part that is not a regular file, which is read twice; the exit
// status.
int refuse_part_from_pipe(const char *path)
{
    return fail(exit_cannot_read, "File '%s' is not a regular file: it is read twice, checked before it is used\n", path);
}

// Keeps the bytes of a pipe, the `head_size` at `head` already read from it
// and all the rest, in an unnamed temporary file, which then stands in for
// it, read from its start: a pipe can be read only once, in order, and a
// part or an image beside others is read more than once. Memory stays the
// same whatever the size. Stops after `limit` bytes, past what any use
// takes. The exit status.
int spool(const char *path, std::FILE **stream, const unsigned char *head, std::size_t head_size, std::uint64_t limit,
          std::uint64_t *size)
{
    std::FILE *kept = open_spool();
    if (kept == nullptr)
        return fail_for(exit_cannot_read, last_system_error(), "Cannot keep the bytes of '%s', a pipe, in a temporary file",
                        path);
    static unsigned char buffer[256 * 1024];
    widen_pipe(*stream);
    bool written = head_size == 0 || std::fwrite(head, 1, head_size, kept) == head_size;
    std::uint64_t total = head_size;
    while (written && total < limit) {
        const std::size_t count = std::fread(buffer, 1, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, limit - total)), *stream);
        if (count == 0)
            break;
        written = std::fwrite(buffer, 1, count, kept) == count;
        total += count;
    }
    if (std::ferror(*stream) != 0) {
        const system_error error = last_system_error();
        std::fclose(kept);
        return fail_for(exit_cannot_read, error, "Cannot read file '%s'", path);
    }
    if (!written || std::fflush(kept) != 0 || std::fseek(kept, 0, SEEK_SET) != 0) {
        const system_error error = last_system_error();
        std::fclose(kept);
        return fail_for(exit_cannot_read, error, "Cannot keep the bytes of '%s', a pipe, in a temporary file", path);
    }
    *stream = kept;
    *size = total;
    return exit_success;
}

// Opens the operand and tells whether its content is a part (an ELF file,
// Intel HEX, ...) rather than a raw image: then it becomes the first part,
// read as -i would read it. A raw image from a pipe keeps the bytes read to
// tell, which come first in the conversion. The exit status.
int tell_operand(command_line *line)
{
    if (!line->has_operand)
        return exit_success;
    image_file &image = line->images[0];
    if ((image.stream = open_input(image.path)) == nullptr)
        return fail_for(exit_cannot_read, last_system_error(), "Cannot open file '%s'", image.path);
    image.size_known = known_image_size(image.stream, &image.size);
    line->operand_regular = image.size_known;
    std::size_t size = read_head(image.stream, operand_head);
    // A pipe that holds a part, or may (its start is blank), is kept to be
    // read as a file.
    if (!image.size_known && std::ferror(image.stream) == 0 && is_pipe(image.stream) &&
        ((size == part_head_size && first_visible(operand_head, size) < 0) ||
         format_of(operand_head, size, by_text) != nullptr || format_of(operand_head, size, by_whole_record) != nullptr)) {
        const int status = spool(image.path, &image.stream, operand_head, size, UINT64_MAX, &image.size);
        if (status != exit_success)
            return status;
        image.size_known = true;
        size = read_head(image.stream, operand_head);
    }
    // A raw image from a pipe keeps its head; a file may be read on.
    unsigned char visible[part_head_size];
    std::size_t visible_size = size;
    if (image.size_known) {
        std::memcpy(visible, operand_head, size);
        visible_size = read_visible_head(image.stream, visible, size);
    }
    if (std::ferror(image.stream) != 0)
        return fail_for(exit_cannot_read, last_system_error(), "Cannot read file '%s'", image.path);
    // A text start, or a first line that is a whole record with something
    // else than text after it: either way the file is read, and refused
    // where it is not the format, rather than flashed as ASCII.
    const unsigned char *head = image.size_known ? visible : operand_head;
    const file_format *format = format_of(head, visible_size, by_text);
    if (format == nullptr)
        format = format_of(head, visible_size, by_whole_record);
    if (format == nullptr) {
        if (!image.size_known) {
            image.head = operand_head;
            image.head_size = size;
        } else if (std::fseek(image.stream, 0, SEEK_SET) != 0) {
            return fail_for(exit_cannot_read, last_system_error(), "Cannot read file '%s'", image.path);
        }
        return exit_success;
    }
    if (!image.size_known)
        return refuse_part_from_pipe(image.path);
    if (line->address_given)
        return fail(exit_no_input, "-a places a raw image, and '%s' is %s %s file, which says where its bytes go: "
                    "leave -a out\n", image.path,
                    format->article, format->title);
    std::memmove(line->parts + 1, line->parts, line->part_count * sizeof(part_file));
    line->parts[0] = {image.path, image.stream, image.size, format, {nullptr, 0, 0, 0}};
    ++line->part_count;
    --line->image_count;
    std::memmove(line->images, line->images + 1, line->image_count * sizeof(image_file));
    return exit_success;
}

// Refuses an image of -m whose content says where its bytes go (a
// regular file whose magic number, or whose first line as a whole record,
// names a format with addresses): stored as raw bytes, it would put its
// headers or its text in flash. The exit status.
int refuse_part_as_image(image_file &image)
{
    if (!image.size_known)
        return exit_success; // a pipe's bytes are not read twice
    unsigned char head[part_head_size];
    const std::size_t size = read_head(image.stream, head);
    // A file that cannot be read is reported where its bytes are read.
    const bool read = std::ferror(image.stream) == 0;
    std::clearerr(image.stream);
    if (!seek_to(image.stream, 0))
        return fail_for(exit_cannot_read, last_system_error(), "Cannot read file '%s'", image.path);
    const file_format *format = read ? format_of(head, size, by_whole_record) : nullptr;
    if (format == nullptr)
        return exit_success;
    return fail(exit_no_input, "-m stores a raw image, and '%s' is %s %s file, which says where its bytes go: "
                "give it as -i %s\n", image.path, format->article, format->title, image.path);
}

// Keeps an image from a pipe in a temporary file, which then stands in for
// it, and checks it as a file is checked; the exit status.
int keep_image_from_pipe(image_file &image)
{
    const std::uint64_t limit = address_space_size - image.address + 1; // one byte too many is enough to refuse
    const int status = spool(image.path, &image.stream, image.head, image.head_size, limit, &image.size);
    if (status != exit_success)
        return status;
    image.size_known = true;
    image.head_size = 0;
    return refuse_part_as_image(image);
}

// Refuses an image whose size must be known before it is read and is not:
// a device; the exit status.
int refuse_unknown_size(const command_line &line, const image_file &image)
{
    if (line.image_count > 1 || line.part_count > 0)
        return fail(exit_cannot_read,
                    "Image '%s' is not a regular file: beside other images, its size must be known before it is read\n",
                    image.path);
    if (line.crc_count > 0 || line.slot.text != nullptr)
        return fail(exit_cannot_read, "Image '%s' is not a regular file: with %s, its size must be known before it is read\n",
                    image.path, line.crc_count > 0 ? "-c" : "--mcuboot");
    if (line.format->needs_plan)
        return fail(exit_cannot_read, "Image '%s' is not a regular file: with -O %s, its size must be known before it is read\n",
                    image.path, line.format->name);
    return exit_success;
}

// Opens every image and learns its size; the exit status. Beside other
// pieces or a CRC, or for an output planned before it is written, an image
// must have a known size, so that its place (and the fill after it) can be
// checked before anything is written: one from a pipe is kept to learn it.
int open_images(command_line *line)
{
    for (std::size_t i = 0; i < line->image_count; ++i) {
        image_file &image = line->images[i];
        if (image.stream != nullptr)
            continue; // the operand, opened to tell its format
        if ((image.stream = open_input(image.path)) == nullptr)
            return fail_for(exit_cannot_read, last_system_error(), "Cannot open file '%s'", image.path);
        image.size_known = known_image_size(image.stream, &image.size);
        const int status = refuse_part_as_image(image);
        if (status != exit_success)
            return status;
    }
    const bool sizes_needed = line->image_count > 1 || line->part_count > 0 || line->crc_count > 0 ||
                              line->slot.text != nullptr || line->format->needs_plan;
    for (std::size_t i = 0; i < line->image_count; ++i) {
        image_file &image = line->images[i];
        int status = exit_success;
        if (sizes_needed && !image.size_known)
            status = is_pipe(image.stream) ? keep_image_from_pipe(image) : refuse_unknown_size(*line, image);
        if (status != exit_success)
            return status;
        if (image.size_known && !image_fits(image.size, image.address))
            return refuse_too_large(image.path, image.address);
    }
    return exit_success;
}

// Opens a part of -i and tells its format from its content; the exit status.
int open_part(part_file *file)
{
    if ((file->stream = open_input(file->path)) == nullptr)
        return fail_for(exit_cannot_read, last_system_error(), "Cannot open file '%s'", file->path);
    if (!known_image_size(file->stream, &file->size)) {
        if (!is_pipe(file->stream))
            return refuse_part_from_pipe(file->path);
        const int status = spool(file->path, &file->stream, nullptr, 0, UINT64_MAX, &file->size);
        if (status != exit_success)
            return status;
    }
    unsigned char head[part_head_size];
    const std::size_t size = read_visible_head(file->stream, head, read_head(file->stream, head));
    if (std::ferror(file->stream) != 0)
        return fail_for(exit_cannot_read, last_system_error(), "Cannot read file '%s'", file->path);
    if (file->size == 0)
        return fail(exit_cannot_read, "File '%s' is empty: -i reads a file that says where its bytes go (ELF, DfuSe, "
                    "UF2, Intel HEX, S-records)\n", file->path);
    if ((file->format = format_of(head, size, by_first_character)) == nullptr)
        return fail(exit_cannot_read, "File '%s' is in none of the formats -i reads (ELF, DfuSe, UF2, Intel HEX, "
                    "S-records): a raw image goes as the operand, or as -m ADDRESS:FILE\n", file->path);
    return exit_success;
}

// Where each part is read through: large, so kept out of the stack.
part_cursor reading;

// Warns of each stretch of a part that lies in an STM32's SRAM or CCM RAM,
// which no flasher writes: an ELF file's .data linked there alone, with
// no load address in flash.
void warn_of_ram(const part_file &file)
{
    for (std::size_t i = 0; i < file.stretches.count; ++i) {
        const part_stretch &stretch = file.stretches.items[i];
        const bool sram = stretch.address >= 0x20000000 && stretch.address <= 0x3FFFFFFF;
        const bool ccm = stretch.address >= 0x10000000 && stretch.address <= 0x1000FFFF;
        if (!sram && !ccm)
            continue;
        const char *ram = sram ? "SRAM" : "CCM RAM";
        if (file.format->describes_each_stretch) {
            char what[64];
            file.format->describe(file.stream, stretch, what, sizeof what);
            say(stderr, "'%s' %s is loaded at 0x%X, in %s, which no flasher writes: was it linked without AT> FLASH?\n",
                file.path, what, stretch.address, ram);
        } else {
            say(stderr, "'%s' puts bytes at 0x%X, in %s, which no flasher writes\n", file.path, stretch.address, ram);
        }
    }
}

// Opens each part and reads it through, checking all of it; the exit
// status.
int read_parts(command_line *line)
{
    for (std::size_t i = 0; i < line->part_count; ++i) {
        part_file &file = line->parts[i];
        if (file.stream == nullptr) {
            const int status = open_part(&file);
            if (status != exit_success)
                return status;
        }
        if (std::fseek(file.stream, 0, SEEK_SET) != 0)
            return fail_for(exit_cannot_read, last_system_error(), "Cannot read file '%s'", file.path);
        const part_fault fault = read_part_file(&reading, *file.format->reader, file.stream, file.size, &file.stretches);
        switch (fault.verdict) {
        case part_well_formed:
            break;
        case part_read_failed:
            return fail_for(exit_cannot_read, last_system_error(), "Cannot read file '%s'", file.path);
        case part_out_of_memory:
            return fail(exit_cannot_read, "Out of memory\n");
        // Faults in the form compilers use, which editors turn into links:
        // the file, the line, the message.
        case part_malformed:
        case part_past_top:
            if (fault.line > 0 && fault.column > 0)
                say(stderr, "%s:%" PRIu64 ":%" PRIu64 ": ", file.path, fault.line, fault.column);
            else if (fault.line > 0)
                say(stderr, "%s:%" PRIu64 ": ", file.path, fault.line);
            else
                say(stderr, "%s: ", file.path);
            return fail(fault.verdict == part_past_top ? exit_does_not_fit : exit_cannot_read, "%s\n", fault.text);
        }
        warn_of_ram(file);
    }
    return exit_success;
}

// The start address the parts give (an ELF file's entry point, a start
// record), or 0 when none gives one; 0 too, with a warning, when two give
// different ones.
std::uint32_t entry_of(const command_line &line)
{
    const part_file *giver = nullptr;
    for (std::size_t i = 0; i < line.part_count; ++i) {
        const part_file &file = line.parts[i];
        if (file.stretches.entry == 0 || (giver != nullptr && file.stretches.entry == giver->stretches.entry))
            continue;
        if (giver != nullptr) {
            say(stderr, "'%s' starts at 0x%08X and '%s' at 0x%08X: the output gives no start address\n", giver->path,
                giver->stretches.entry, file.path, file.stretches.entry);
            return 0;
        }
        giver = &file;
    }
    return giver != nullptr ? giver->stretches.entry : 0;
}

// An output in the format of a part, with no parameters given (-O dfu, or
// an .dfu name), takes those the part was written for (its device): one
// set, or a refusal when parts of that format say different ones; the exit
// status.
int adopt_parameters(const command_line *line)
{
    const file_format &format = *line->format;
    if (line->format_text != nullptr && std::strchr(line->format_text, ':') != nullptr)
        return exit_success;
    const part_file *giver = nullptr;
    for (std::size_t i = 0; i < line->part_count; ++i) {
        const part_file &file = line->parts[i];
        if (file.format != &format || file.stretches.parameters[0] == '\0')
            continue;
        if (giver != nullptr && std::strcmp(giver->stretches.parameters, file.stretches.parameters) != 0)
            return fail(exit_no_input, "'%s' is for %s and '%s' for %s: say which the %s output is for, with -O %s\n",
                        giver->path, giver->stretches.parameters, file.path, file.stretches.parameters, format.title,
                        format.form);
        giver = &file;
    }
    // The reader wrote them in the form the format takes.
    if (giver != nullptr)
        format.configure(giver->stretches.parameters);
    return exit_success;
}

// An STM32 image starts with its vector table: the initial stack pointer
// (in SRAM, CCM or DTCM) and the reset handler's address (in flash, bit 0
// set for Thumb). When an image starts like one and its reset handler lies
// outside it where it is placed, it was most likely linked for another
// address: warns, and the conversion goes on.
void check_vector_table(const image_file &image)
{
    unsigned char words[8];
    if (!image.size_known || image.size < sizeof words || !read_at(image.stream, 0, words, sizeof words) ||
        !seek_to(image.stream, 0))
        return;
    const std::uint32_t stack = get_le32(words);
    const std::uint32_t reset = get_le32(words + 4);
    const std::uint32_t handler = reset - 1;
    const bool vector_table = stack % 4 == 0 && stack >= 0x10000000 && stack <= 0x3FFFFFFF && reset % 2 == 1 &&
                              handler >= 0x08000000 && handler <= 0x0FFFFFFF;
    if (vector_table && (handler < image.address || handler - image.address >= image.size))
        say(stderr, "Image '%s' at 0x%08X: its reset vector 0x%08X points outside it (0x%08X-0x%08X): was it linked "
            "for another address (-a)?\n", image.path, image.address, reset, image.address,
            static_cast<std::uint32_t>(image.address + image.size - 1));
}

// Address order; an empty image before what starts where it lies. std::sort
// needs no memory of its own, unlike std::stable_sort.
void sort_pieces(piece *pieces, std::size_t count)
{
    std::sort(pieces, pieces + count, [](const piece &a, const piece &b) {
        return a.address != b.address ? a.address < b.address : a.size < b.size;
    });
}

// Room for the targets of a format that keeps them apart: one for each
// number a byte can give, and the first.
constexpr std::size_t max_targets = 257;

// The index of the output's target for `stretch` of `file`, whose format
// keeps targets apart, added when it is new: by its number, named as the
// first part that names it names it.
std::uint16_t target_for(const part_file &file, const part_stretch &stretch, layout *laid_out)
{
    char name[256];
    file.format->target_name(file.stream, stretch, name, sizeof name);
    for (std::size_t i = 0; i < laid_out->target_count; ++i) {
        output_target &target = laid_out->targets[i];
        if (target.number != stretch.detail)
            continue;
        if (target.name[0] == '\0')
            std::memcpy(target.name, name, sizeof name);
        return static_cast<std::uint16_t>(i);
    }
    output_target &added = laid_out->targets[laid_out->target_count];
    added.number = stretch.detail;
    std::memcpy(added.name, name, sizeof name);
    return static_cast<std::uint16_t>(laid_out->target_count++);
}

// The pieces that hold data: each image and each run of a part, in
// address order. A run is a stretch, or, where the part's format joins
// them, the stretches that touch.
void place_data(command_line *line, layout *laid_out)
{
    piece *pieces = laid_out->pieces;
    std::size_t count = 0;
    std::size_t sources = 0;
    // Beside other pieces, an image must end where its size said.
    const bool exact = line->image_count > 1 || line->part_count > 0 || line->crc_count > 0 ||
                       line->slot.text != nullptr || line->format->needs_plan;
    for (std::size_t i = 0; i < line->image_count; ++i) {
        const image_file &image = line->images[i];
        pieces[count++] = {image_piece, image.address, image.size, exact, image.stream, nullptr, image.path,
                           nullptr, nullptr, 0, image.head, image.head_size, 0, nullptr};
        laid_out->sources[sources++] = {image.stream, image.address};
    }
    for (std::size_t i = 0; i < line->part_count; ++i) {
        const part_file &file = line->parts[i];
        const file_format &format = *file.format;
        const part_stretch *items = file.stretches.items;
        for (std::size_t j = 0; j < file.stretches.count;) {
            std::size_t k = j + 1;
            std::uint64_t size = items[j].size;
            for (; format.joins_touching && k < file.stretches.count && items[j].address + size == items[k].address &&
                   (format.target_name == nullptr || items[k].detail == items[j].detail);
                 ++k)
                size += items[k].size;
            pieces[count++] = {part_piece, items[j].address, size, true, file.stream, nullptr, file.path,
                               format.reader, items + j, k - j, nullptr, 0, 0, nullptr,
                               format.target_name != nullptr ? target_for(file, items[j], laid_out) : std::uint16_t{0}};
            j = k;
        }
        laid_out->sources[sources++] = {file.stream, 0};
    }
    sort_pieces(pieces, count);
    laid_out->piece_count = count;
    laid_out->source_count = sources;
}

// Refuses two pieces of data that share an address; the exit status. The
// first address two share is where a later one starts inside an earlier one.
int check_overlaps(const layout &laid_out)
{
    const piece *furthest = nullptr; // the piece reaching highest so far
    for (std::size_t i = 0; i < laid_out.piece_count; ++i) {
        const piece &each = laid_out.pieces[i];
        if (each.size == 0)
            continue; // an empty image shares no address
        if (furthest != nullptr && each.address < furthest->address + furthest->size)
            return fail(exit_does_not_fit, "Images '%s' at 0x%X and '%s' at 0x%X overlap from 0x%X\n",
                        furthest->name, furthest->address, each.name, each.address, each.address);
        if (furthest == nullptr || each.address + each.size > furthest->address + furthest->size)
            furthest = &each;
    }
    return exit_success;
}

// The end of a region with its CRC word, which may be the top of the space.
std::uint64_t end_with_word(const crc_region &region)
{
    return std::uint64_t{region.end} + crc_word_size;
}

// Puts the regions in address order and refuses a CRC word past the top,
// two regions (with their words) that share an address, and a word that
// shares one with a piece of data; the exit status.
int order_regions(command_line *line, const layout &laid_out)
{
    crc_request *crcs = line->crcs;
    for (std::size_t i = 0; i < line->crc_count; ++i)
        if (end_with_word(crcs[i].region) > address_space_size)
            return fail(exit_does_not_fit, "The CRC of -c '%s' at 0x%X would pass 0xFFFFFFFF\n", crcs[i].text,
                        crcs[i].region.end);
    std::sort(crcs, crcs + line->crc_count, [](const crc_request &a, const crc_request &b) {
        return a.region.start != b.region.start ? a.region.start < b.region.start : a.region.end < b.region.end;
    });
    for (std::size_t i = 1; i < line->crc_count; ++i)
        if (crcs[i].region.start < end_with_word(crcs[i - 1].region))
            return fail(exit_does_not_fit, "The regions of -c '%s' and -c '%s' (each with its CRC) overlap from 0x%X\n",
                        crcs[i - 1].text, crcs[i].text, crcs[i].region.start);
    for (std::size_t i = 0; i < line->crc_count; ++i)
        for (std::size_t j = 0; j < laid_out.piece_count; ++j) {
            const crc_region &region = crcs[i].region;
            const piece &each = laid_out.pieces[j];
            if (each.size > 0 && each.address < end_with_word(region) && each.address + each.size > region.end)
                return fail(exit_does_not_fit, "Image '%s' at 0x%X overlaps the CRC of -c '%s' at 0x%X\n", each.name,
                            each.address, crcs[i].text, region.end);
        }
    return exit_success;
}

// Adds a fill for each part of a region that no data covers, and each CRC
// word; then all pieces in address order. A region that no data reaches is
// refused: its CRC would vouch for erased flash, and a bootloader would
// start it as an application. The exit status.
int add_fills_and_words(command_line *line, layout *laid_out)
{
    piece *pieces = laid_out->pieces;
    const std::size_t data_count = laid_out->piece_count;
    std::size_t count = data_count;
    for (std::size_t i = 0; i < line->crc_count; ++i) {
        crc_region &region = line->crcs[i].region;
        std::uint64_t covered = region.start; // the region is laid out up to here
        bool holds_data = false;
        for (std::size_t j = 0; j < data_count && covered < region.end; ++j) {
            const piece &each = pieces[j];
            if (each.size == 0 || each.address + each.size <= covered)
                continue;
            holds_data = holds_data || each.address < region.end;
            if (each.address > covered)
                pieces[count++] = {fill_piece, static_cast<std::uint32_t>(covered),
                                   std::min<std::uint64_t>(each.address, region.end) - covered, true, nullptr, nullptr,
                                   line->crcs[i].text, nullptr, nullptr, 0, nullptr, 0, blank_byte, nullptr};
            covered = each.address + each.size;
        }
        if (!holds_data)
            return fail(exit_does_not_fit, "The region of -c '%s' holds no byte of any image or part: its CRC would "
                        "make a bootloader take erased flash for an application\n", line->crcs[i].text);
        if (covered < region.end)
            pieces[count++] = {fill_piece, static_cast<std::uint32_t>(covered), region.end - covered, true, nullptr,
                               nullptr, line->crcs[i].text, nullptr, nullptr, 0, nullptr, 0, blank_byte, nullptr};
        pieces[count++] = {crc_piece, region.end, crc_word_size, true, nullptr, &region, line->crcs[i].text, nullptr,
                           nullptr, 0, nullptr, 0, 0, nullptr};
    }
    sort_pieces(pieces, count);
    laid_out->piece_count = count;
    return exit_success;
}

// A piece as messages name it, with its address; a part whose format
// names what it holds (an ELF file's sections) by that, its last when
// `by_end`, else its first.
void say_piece(const piece &named, bool by_end = false)
{
    switch (named.kind) {
    case image_piece:
        say(stderr, "'%s' at 0x%X", named.name, named.address);
        break;
    case part_piece: {
        const file_format &format = format_reading(*named.reader);
        const part_stretch &stretch = named.stretches[by_end ? named.stretch_count - 1 : 0];
        char what[64] = "";
        if (format.describes_each_stretch)
            format.describe(named.stream, stretch, what, sizeof what);
        say(stderr, "'%s'%s%s at 0x%X", named.name, what[0] != '\0' ? " " : "", what, stretch.address);
        break;
    }
    case fill_piece:
        if (named.slot != nullptr)
            say(stderr, "the 0x%02X fill of --mcuboot '%s' at 0x%X", named.fill, named.name, named.address);
        else
            say(stderr, "the 0xFF fill of -c '%s' at 0x%X", named.name, named.address);
        break;
    case crc_piece:
        say(stderr, "the CRC of -c '%s' at 0x%X", named.name, named.address);
        break;
    case known_piece:
    case tlv_piece:
        say(stderr, "the MCUboot image's %s at 0x%X", named.name, named.address);
        break;
    }
}

// Refuses a gap, after the run that ends at `end`, too large for a format
// without addresses to fill; the exit status.
int refuse_gap(const layout &laid_out, const char *title, std::uint64_t end, std::uint32_t next)
{
    // A piece ends where the run before the gap ends, and one starts where
    // the run after it starts.
    const piece *before = laid_out.pieces;
    const piece *after = laid_out.pieces + laid_out.piece_count - 1;
    for (std::size_t i = 0; i < laid_out.piece_count; ++i) {
        const piece &each = laid_out.pieces[i];
        if (each.size > 0 && each.address + each.size == end)
            before = &each;
        if (each.size > 0 && each.address == next && after->address != next)
            after = &each;
    }
    say(stderr, "The gap between ");
    say_piece(*before, true);
    say(stderr, " and ");
    say_piece(*after);
    return fail(exit_does_not_fit, " is 0x%" PRIX64 " bytes, too large to fill with 0xFF in a %s file: write them to "
                "separate files, or use a format with addresses, such as -O hex\n", next - end, title);
}

// The MCUboot slot as laid out; it lives as long as the process.
mcuboot_slot slot;

// Refuses a -c region that shares an address with the slot: the slot's
// bytes are the image's, laid out by --mcuboot; the exit status.
int check_regions_beside_slot(const command_line &line)
{
    const slot_request &request = line.slot;
    for (std::size_t i = 0; i < line.crc_count && request.text != nullptr; ++i) {
        const crc_region &region = line.crcs[i].region;
        if (region.start < request.image.end && end_with_word(region) > request.image.start)
            return fail(exit_no_input, "The region of -c '%s' (with its CRC) overlaps the slot of --mcuboot '%s': "
                        "MCUboot checks the image's SHA-256, so give -c for regions outside the slot\n",
                        line.crcs[i].text, request.text);
    }
    return exit_success;
}

// Finds the data inside the slot: its first address and the end of the
// last; refuses a piece that lies across either end of the slot, and a
// slot with no data. The exit status.
int find_slot_data(const command_line &line, const layout &laid_out, std::uint32_t *first, std::uint64_t *end)
{
    const mcuboot_request &image = line.slot.image;
    bool found = false;
    for (std::size_t i = 0; i < laid_out.piece_count; ++i) {
        const piece &each = laid_out.pieces[i];
        if (each.size == 0 || each.address + each.size <= image.start || each.address >= image.end)
            continue;
        if (each.address < image.start)
            return fail(exit_does_not_fit, "Image '%s' at 0x%X starts before the slot of --mcuboot '%s' and runs into "
                        "it\n", each.name, each.address, line.slot.text);
        if (each.address + each.size > image.end)
            return fail(exit_does_not_fit, "Image '%s' at 0x%X runs past the end of the slot of --mcuboot '%s' at "
                        "0x%X\n", each.name, each.address, line.slot.text, image.end);
        if (!found)
            *first = each.address;
        found = true;
        *end = std::max<std::uint64_t>(*end, each.address + each.size);
    }
    if (!found)
        return fail(exit_does_not_fit, "The slot of --mcuboot '%s' holds no byte of any image or part: there is no "
                    "application to make an MCUboot image of\n", line.slot.text);
    return exit_success;
}

// The header's size: as given, or the distance from the slot's start to
// its first byte of data, where the application was linked. The exit status.
int size_header(const command_line &line, std::uint32_t first, std::uint32_t *size)
{
    const mcuboot_request &image = line.slot.image;
    if (image.header_size != 0) {
        *size = image.header_size;
        return exit_success;
    }
    if (first == image.start)
        return fail(exit_no_input, "The slot of --mcuboot '%s' holds data from its first address 0x%X, where MCUboot's "
                    "header lies: give the header's size with --header-size, when the build reserved room for it\n",
                    line.slot.text, first);
    *size = first - image.start;
    if (*size < mcuboot_header_fields || *size % 4 != 0 || *size > mcuboot_header_limit)
        return fail(exit_does_not_fit, "The first byte of data in the slot of --mcuboot '%s' is at 0x%X, 0x%X bytes "
                    "after its start, which would be the size of MCUboot's header: it must be a multiple of 4 from 32 "
                    "to 65532; link the application at the slot's start plus the header's size, or give "
                    "--header-size\n", line.slot.text, first, *size);
    return exit_success;
}

// The data that lies where the header goes must be room the build
// reserved for it: all 0x00 or all 0xFF. The exit status.
int check_reserved_header(const command_line &line, const layout &laid_out, std::uint32_t first,
                          std::uint32_t code_start)
{
    if (first >= code_start)
        return exit_success;
    static unsigned char bytes[mcuboot_header_limit];
    static unsigned char present[mcuboot_header_limit];
    const std::size_t size = code_start - first;
    const convert_result result = peek_pieces(laid_out.pieces, laid_out.piece_count, first, size, bytes, present);
    if (result != converted)
        return report(result, laid_out.pieces[0], nullptr, last_system_error());
    const unsigned char reserved = bytes[0]; // a piece starts at `first`
    for (std::size_t i = 0; i < size; ++i) {
        if (present[i] == 0 || (bytes[i] == reserved && (reserved == 0x00 || reserved == 0xFF)))
            continue;
        const auto at = static_cast<std::uint32_t>(first + i);
        const mcuboot_request &image = line.slot.image;
        return fail(exit_does_not_fit, "MCUboot's header of 0x%X bytes at 0x%X would cover code: the byte at 0x%X is "
                    "0x%02X, where the build should have reserved the header's room with 0x00 or 0xFF; link the "
                    "application at 0x%X, after the header, or give a --header-size that ends before its code\n",
                    code_start - image.start, image.start, at, bytes[i], code_start);
    }
    return exit_success;
}

// Adds a piece of the slot's own.
void add_slot_piece(layout *laid_out, piece_kind kind, std::uint32_t address, std::uint64_t size, const char *name,
                    const unsigned char *bytes, unsigned char fill)
{
    if (size > 0)
        laid_out->pieces[laid_out->piece_count++] = {kind, address, size, true, nullptr, nullptr, name, nullptr,
                                                     nullptr, 0, bytes, static_cast<std::size_t>(size), fill, &slot};
}

// Fills the gaps between the data of the slot up to the code's end: the
// header's with the erased value, as imgtool pads a header; the code's
// with 0xFF, as imgtool fills the gaps of an Intel HEX input.
void fill_slot_gaps(const command_line &line, layout *laid_out)
{
    const char *text = line.slot.text;
    const unsigned char erased = line.slot.image.erased;
    const std::size_t data_count = laid_out->piece_count;
    std::uint64_t covered = slot.request.start;
    for (std::size_t i = 0; i <= data_count; ++i) {
        const piece *each = i < data_count ? &laid_out->pieces[i] : nullptr;
        if (each != nullptr &&
            (each->size == 0 || each->address < slot.request.start || each->address >= slot.request.end))
            continue;
        const std::uint64_t next = each != nullptr ? each->address : slot.code_end;
        if (next > covered) {
            const std::uint64_t split = std::min(std::max<std::uint64_t>(covered, slot.code_start), next);
            add_slot_piece(laid_out, fill_piece, static_cast<std::uint32_t>(covered), split - covered, text, nullptr,
                           erased);
            add_slot_piece(laid_out, fill_piece, static_cast<std::uint32_t>(split), next - split, text, nullptr,
                           blank_byte);
        }
        if (each != nullptr)
            covered = std::max<std::uint64_t>(covered, each->address + each->size);
    }
}

// The TLVs after the code, and with --pad the trailer at the slot's end:
// in a file with addresses only the bytes imgtool's Intel HEX holds (the
// image_ok flag and the magic); in a raw binary every byte up to the end.
void add_tlvs_and_trailer(const command_line &line, layout *laid_out)
{
    add_slot_piece(laid_out, known_piece, slot.code_end, slot.protected_size, "protected TLVs", slot.protected_tlvs,
                   0);
    add_slot_piece(laid_out, tlv_piece, mcuboot_hashed_end(slot), slot.tlv_size, "TLV area", nullptr, 0);
    if (!slot.request.pad)
        return;
    add_slot_piece(laid_out, known_piece, slot.flag_address, slot.flag_size, "image_ok flag", slot.flag, 0);
    add_slot_piece(laid_out, known_piece, slot.magic_address, mcuboot_magic_size, "trailer's magic", slot.magic, 0);
    if (line.format->has_addresses)
        return;
    const auto image_end = static_cast<std::uint32_t>(mcuboot_image_end(slot));
    const std::uint32_t before_magic = slot.flag_size > 0 ? slot.flag_address : slot.magic_address;
    const std::uint32_t flag_end = slot.flag_address + slot.flag_size;
    add_slot_piece(laid_out, fill_piece, image_end, before_magic - image_end, line.slot.text, nullptr,
                   slot.request.erased);
    if (slot.flag_size > 0)
        add_slot_piece(laid_out, fill_piece, flag_end, slot.magic_address - flag_end, line.slot.text, nullptr,
                       slot.request.erased);
}

// Lays out the MCUboot image of --mcuboot: the header over the slot's
// start, the data inside it as the code, the TLVs after it and the
// trailer, refusing what MCUboot could not boot or update. The exit status.
int lay_out_slot(command_line *line_to_complete, layout *laid_out)
{
    const command_line &line = *line_to_complete;
    if (line.slot.text == nullptr)
        return exit_success;
    if (line.slot.key_path != nullptr) {
        const int status = read_key(line.slot.key_path, &line_to_complete->slot.image.key);
        if (status != exit_success)
            return status;
    }
    const mcuboot_request &image = line.slot.image;
    const std::uint32_t slot_size = image.end - image.start;
    std::uint32_t first = 0;
    std::uint64_t data_end = 0;
    std::uint32_t header_size = 0;
    int status = find_slot_data(line, *laid_out, &first, &data_end);
    if (status == exit_success)
        status = size_header(line, first, &header_size);
    if (status == exit_success && header_size > slot_size)
        return fail(exit_does_not_fit, "MCUboot's header of 0x%X bytes does not fit in the slot of --mcuboot '%s' "
                    "(0x%X bytes)\n", header_size, line.slot.text, slot_size);
    const std::uint32_t code_start = image.start + header_size;
    if (status == exit_success)
        status = check_reserved_header(line, *laid_out, first, code_start);
    if (status != exit_success)
        return status;
    const auto code_end = static_cast<std::uint32_t>(std::max<std::uint64_t>(data_end, code_start));
    mcuboot_lay_out(&slot, image, code_start, code_end);
    const std::uint64_t image_size = mcuboot_image_end(slot) - image.start;
    const std::uint32_t trailer_size = mcuboot_trailer_size(image);
    if (image_size + trailer_size > slot_size)
        return fail(exit_does_not_fit, "The MCUboot image of --mcuboot '%s' does not fit in its slot with the "
                    "trailer: header 0x%X, code 0x%X and TLVs 0x%X bytes make 0x%" PRIX64 ", and the trailer's 0x%X "
                    "bytes 0x%" PRIX64 ", more than the slot's 0x%X bytes\n", line.slot.text, header_size,
                    code_end - code_start, static_cast<std::uint32_t>(mcuboot_image_end(slot) - code_end), image_size,
                    trailer_size, image_size + trailer_size, slot_size);
    fill_slot_gaps(line, laid_out);
    add_tlvs_and_trailer(line, laid_out);
    sort_pieces(laid_out->pieces, laid_out->piece_count);
    return exit_success;
}

const char *algorithm_name(crc_algorithm algorithm)
{
    return algorithm == crc_stm32 ? "stm32" : "crc32";
}

} // namespace

int lay_out(command_line *line, layout *laid_out)
{
    *laid_out = {nullptr, 0, static_cast<image_source *>(std::calloc(line->image_count + line->part_count + 1,
                                                                     sizeof(image_source))), 0, {nullptr, 0, 0}, line->settings, 0,
                 static_cast<output_target *>(std::calloc(max_targets, sizeof(output_target))), 1};
    int status = tell_operand(line);
    if (status == exit_success)
        status = open_images(line);
    if (status == exit_success)
        status = read_parts(line);
    if (status != exit_success)
        return status;
    laid_out->entry = entry_of(*line);
    status = adopt_parameters(line);
    if (status != exit_success)
        return status;
    // Each piece of data gives one piece, each region at most one fill
    // more than the pieces of data it holds, and its word.
    std::size_t data_count = line->image_count;
    for (std::size_t i = 0; i < line->part_count; ++i)
        data_count += line->parts[i].stretches.count;
    // The slot adds at most two fills before each piece of data and eight pieces of its own.
    laid_out->pieces = static_cast<piece *>(std::calloc(4 * data_count + 2 * line->crc_count + 12, sizeof(piece)));
    if (laid_out->pieces == nullptr || laid_out->sources == nullptr || laid_out->targets == nullptr)
        return fail(exit_cannot_read, "Out of memory\n");
    laid_out->runs.targets = laid_out->targets;
    place_data(line, laid_out);
    status = check_overlaps(*laid_out);
    if (status == exit_success)
        status = order_regions(line, *laid_out);
    if (status == exit_success)
        status = check_regions_beside_slot(*line);
    if (status == exit_success)
        status = add_fills_and_words(line, laid_out);
    if (status == exit_success)
        status = lay_out_slot(line, laid_out);
    for (std::size_t i = 0; i < line->image_count && status == exit_success; ++i)
        check_vector_table(line->images[i]);
    return status;
}

int plan_output(const command_line &line, layout *laid_out)
{
    const file_format &format = *line.format;
    if (!format.needs_plan && format.judge == nullptr)
        return exit_success;
    std::size_t failed = 0;
    const convert_result result = plan_runs(laid_out->pieces, laid_out->piece_count, line.settings, &laid_out->runs, &failed);
    if (result != converted)
        return report(result, laid_out->pieces[failed], nullptr, last_system_error());
    std::size_t at = 0;
    const run_list &runs = laid_out->runs;
    switch (format.judge != nullptr ? format.judge(runs, &at) : plan_fits) {
    case plan_fits:
        break;
    case plan_empty:
        return fail(exit_does_not_fit, "The layout holds no data, and a %s file cannot be empty\n", format.title);
    case plan_too_large:
        return fail(exit_does_not_fit, "The layout does not fit in a %s file, which would pass 4 GiB\n", format.title);
    case plan_gap_too_large:
        return refuse_gap(*laid_out, format.title, runs.items[at].address + runs.items[at].size, runs.items[at + 1].address);
    case plan_target_apart: {
        const output_target &target = runs.targets[runs.items[at].target];
        return fail(exit_does_not_fit, "The %s output's target %u ('%s') would hold 0x%X, with another target's bytes "
                    "between it and its own below: %s %s file keeps each target's bytes together, in address order\n",
                    format.title, target.number, target.name, runs.items[at].address, format.article, format.title);
    }
    }
    return exit_success;
}

namespace {

// The addresses and size that open a layout line.
void show_addresses(std::uint32_t address, std::uint64_t size)
{
    say(stderr, "0x%08X-0x%08X %10" PRIu64 " bytes  ", address, static_cast<std::uint32_t>(address + size - 1), size);
}

// A run of a part: its file and format, or, where the format names what
// the file holds (an ELF file's sections), one line for each.
void show_part(const piece &shown)
{
    const file_format &format = format_reading(*shown.reader);
    if (!format.describes_each_stretch) {
        char name[300] = "";
        if (format.describe != nullptr)
            format.describe(shown.stream, shown.stretches[0], name, sizeof name);
        show_addresses(shown.address, shown.size);
        say(stderr, "%s (%s%s%s)\n", shown.name, format.title, name[0] != '\0' ? " " : "", name);
        return;
    }
    for (std::size_t i = 0; i < shown.stretch_count; ++i) {
        const part_stretch &stretch = shown.stretches[i];
        char name[64];
        format.describe(shown.stream, stretch, name, sizeof name);
        show_addresses(stretch.address, stretch.size);
        say(stderr, "%s (%s %s)\n", shown.name, format.title, name);
    }
}

// A fill: of a -c region, or of the MCUboot slot's header (whose first
// bytes are the header's fields), code or padding.
void show_fill(const piece &fill, bool omit_blank)
{
    const char *of = "";
    if (fill.slot != nullptr)
        of = fill.address < fill.slot->code_start ? " of the MCUboot header"
             : fill.address < fill.slot->code_end ? " of the MCUboot code"
                                                  : " up to the MCUboot trailer";
    const bool fields = fill.slot != nullptr && fill.address == fill.slot->request.start;
    const bool left_out = omit_blank && fill.fill == blank_byte;
    say(stderr, "0x%02X fill%s%s\n", fill.fill, of, !left_out ? "" : fields ? ", left out by -s after its fields" : ", left out by -s");
}

// The MCUboot slot, before its pieces: where it lies, the header, the
// version, the code and the trailer.
void show_slot(const mcuboot_slot &slot)
{
    const mcuboot_request &image = slot.request;
    show_addresses(image.start, image.end - image.start);
    say(stderr, "MCUboot slot: header %u bytes, version %u.%u.%u+%u, code 0x%08X-0x%08X (%u bytes)",
        static_cast<unsigned>(slot.code_start - image.start), image.version.major, image.version.minor,
        image.version.revision, static_cast<unsigned>(image.version.build), slot.code_start, slot.code_end - 1,
        static_cast<unsigned>(slot.code_end - slot.code_start));
    if (image.has_security_counter)
        say(stderr, ", security counter %u", static_cast<unsigned>(get_le32(slot.protected_tlvs + 8)));
    say(stderr, ", trailer %u bytes%s%s", static_cast<unsigned>(mcuboot_trailer_size(image)),
        image.pad ? ", padded" : ", not padded", image.confirm ? ", confirmed" : "");
    if (image.key != nullptr) {
        static const char *const kinds[] = {"ECDSA P-256", "Ed25519", "RSA-2048", "RSA-3072"};
        say(stderr, ", signed by the %s key of SHA-256 ", kinds[signing_key_kind(*image.key)]);
        for (const unsigned char byte : slot.key_hash)
            say(stderr, "%02x", byte);
    }
    say(stderr, "\n");
    show_addresses(image.start, mcuboot_header_fields);
    say(stderr, "MCUboot header\n");
}

} // namespace

void show_layout(const layout &laid_out, const file_format &format)
{
    bool slot_shown = false;
    for (std::size_t i = 0; i < laid_out.piece_count; ++i) {
        const piece &each = laid_out.pieces[i];
        if (each.size == 0)
            continue; // an empty image has no address of its own
        if (each.slot != nullptr && !slot_shown) {
            show_slot(*each.slot);
            slot_shown = true;
        }
        if (each.kind != part_piece)
            show_addresses(each.address, each.size);
        switch (each.kind) {
        case image_piece:
            say(stderr, "%s\n", each.name);
            break;
        case part_piece:
            show_part(each);
            break;
        case fill_piece:
            show_fill(each, laid_out.settings.omit_blank);
            break;
        case crc_piece:
            say(stderr, "CRC %s of 0x%08X-0x%08X: 0x%08X\n", algorithm_name(each.region->algorithm),
                each.region->start, each.region->end - 1, each.region->value);
            break;
        case known_piece:
            say(stderr, "MCUboot %s\n", each.name);
            break;
        case tlv_piece:
            say(stderr, "MCUboot TLV area: SHA-256 ");
            for (std::size_t j = 0; j < sha256_size; ++j)
                say(stderr, "%02x", mcuboot_digest(*each.slot)[j]);
            say(stderr, "\n");
            break;
        }
    }
    // A file without addresses does not say where it starts: the user must.
    const piece *first = nullptr;
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < laid_out.piece_count; ++i)
        if (laid_out.pieces[i].size > 0) {
            first = first != nullptr ? first : &laid_out.pieces[i];
            end = std::max(end, laid_out.pieces[i].address + laid_out.pieces[i].size);
        }
    if (!format.has_addresses && first != nullptr)
        say(stderr, "0x%08X-0x%08X %10" PRIu64 " bytes  the %s file, from 0x%08X, gaps as 0xFF\n", first->address,
            static_cast<std::uint32_t>(end - 1), end - first->address, format.title, first->address);
}
