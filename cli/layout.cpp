#include "layout.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <utility>

#include "messages.h"
#include "system.h"

namespace {

constexpr std::uint64_t address_space_size = std::uint64_t{1} << 32;
constexpr std::uint32_t crc_word_size = 4;

int refuse_too_large(const image_file &image)
{
    return fail(exit_does_not_fit, "Image '%s' does not fit in the 32-bit address space at 0x%X\n", image.path,
                image.address);
}

// Opens every image and learns its size; the exit status. Beside other
// images or a CRC, an image must have a known size, so that its place (and
// the fill after it) can be checked before anything is written.
int open_images(command_line *line)
{
    for (std::size_t i = 0; i < line->image_count; ++i) {
        image_file &image = line->images[i];
        if ((image.stream = open_image(image.path)) == nullptr)
            return fail(exit_cannot_read, "Cannot open file '%s'\n", image.path);
        image.size_known = known_image_size(image.stream, &image.size);
    }
    for (std::size_t i = 0; i < line->image_count; ++i) {
        const image_file &image = line->images[i];
        if (!image.size_known && line->image_count > 1)
            return fail(exit_cannot_read,
                        "Image '%s' is not a regular file: beside other images, its size must be known before it is read\n",
                        image.path);
        if (!image.size_known && line->crc_count > 0)
            return fail(exit_cannot_read,
                        "Image '%s' is not a regular file: with -c, its size must be known before it is read\n",
                        image.path);
        if (image.size_known && !image_fits(image.size, image.address))
            return refuse_too_large(image);
    }
    return exit_success;
}

// Puts the images in address order (a stable insertion sort: there are few)
// and refuses two that share an address; the exit status. The first address
// two images share is where a later one starts inside an earlier one.
int order_images(command_line *line)
{
    image_file *images = line->images;
    for (std::size_t i = 1; i < line->image_count; ++i)
        for (std::size_t j = i; j > 0 && images[j - 1].address > images[j].address; --j)
            std::swap(images[j - 1], images[j]);
    const image_file *furthest = nullptr; // the image reaching highest so far
    for (std::size_t i = 0; i < line->image_count; ++i) {
        const image_file &image = images[i];
        if (image.size == 0)
            continue; // an empty image shares no address
        if (furthest != nullptr && image.address < furthest->address + furthest->size)
            return fail(exit_does_not_fit, "Images '%s' at 0x%X and '%s' at 0x%X overlap from 0x%X\n",
                        furthest->path, furthest->address, image.path, image.address, image.address);
        if (furthest == nullptr || image.address + image.size > furthest->address + furthest->size)
            furthest = &image;
    }
    return exit_success;
}

// The end of a region with its CRC word, which may be the top of the space.
std::uint64_t extent_end(const crc_region &region)
{
    return std::uint64_t{region.end} + crc_word_size;
}

// Puts the regions in address order and refuses a CRC word past the top,
// two regions (with their words) that share an address, and a word that
// shares one with an image; the exit status.
int order_regions(command_line *line)
{
    crc_request *crcs = line->crcs;
    for (std::size_t i = 0; i < line->crc_count; ++i)
        if (extent_end(crcs[i].region) > address_space_size)
            return fail(exit_does_not_fit, "The CRC of -c '%s' at 0x%X would pass 0xFFFFFFFF\n", crcs[i].text,
                        crcs[i].region.end);
    for (std::size_t i = 1; i < line->crc_count; ++i)
        for (std::size_t j = i; j > 0 && crcs[j - 1].region.start > crcs[j].region.start; --j)
            std::swap(crcs[j - 1], crcs[j]);
    for (std::size_t i = 1; i < line->crc_count; ++i)
        if (crcs[i].region.start < extent_end(crcs[i - 1].region))
            return fail(exit_does_not_fit, "The regions of -c '%s' and -c '%s' (each with its CRC) overlap from 0x%X\n",
                        crcs[i - 1].text, crcs[i].text, crcs[i].region.start);
    for (std::size_t i = 0; i < line->crc_count; ++i)
        for (std::size_t j = 0; j < line->image_count; ++j) {
            const crc_region &region = crcs[i].region;
            const image_file &image = line->images[j];
            if (image.size > 0 && image.address < extent_end(region) && image.address + image.size > region.end)
                return fail(exit_does_not_fit, "Image '%s' at 0x%X overlaps the CRC of -c '%s' at 0x%X\n", image.path,
                            image.address, crcs[i].text, region.end);
        }
    return exit_success;
}

// The pieces: each image, a fill for each part of a region that no image
// covers, and each CRC word; then all of them in address order.
void make_pieces(command_line *line, layout *laid_out)
{
    piece *pieces = laid_out->pieces;
    std::size_t count = 0;
    for (std::size_t i = 0; i < line->image_count; ++i) {
        image_file &image = line->images[i];
        // Beside other pieces, an image must end where its size said.
        const bool exact = line->image_count > 1 || line->crc_count > 0;
        pieces[count++] = {image_piece, image.address, image.size, exact, image.stream, nullptr, i};
        laid_out->sources[i] = {image.stream, image.address};
    }
    for (std::size_t i = 0; i < line->crc_count; ++i) {
        crc_region &region = line->crcs[i].region;
        std::uint64_t covered = region.start; // the region is laid out up to here
        for (std::size_t j = 0; j < line->image_count && covered < region.end; ++j) {
            const image_file &image = line->images[j];
            if (image.size == 0 || image.address + image.size <= covered)
                continue;
            if (image.address > covered)
                pieces[count++] = {fill_piece, static_cast<std::uint32_t>(covered),
                                   std::min<std::uint64_t>(image.address, region.end) - covered, true, nullptr, nullptr, i};
            covered = image.address + image.size;
        }
        if (covered < region.end)
            pieces[count++] = {fill_piece, static_cast<std::uint32_t>(covered), region.end - covered, true, nullptr,
                               nullptr, i};
        pieces[count++] = {crc_piece, region.end, crc_word_size, true, nullptr, &region, i};
    }
    for (std::size_t i = 1; i < count; ++i)
        for (std::size_t j = i; j > 0 && pieces[j - 1].address > pieces[j].address; --j)
            std::swap(pieces[j - 1], pieces[j]);
    laid_out->piece_count = count;
}

const char *algorithm_name(crc_algorithm algorithm)
{
    return algorithm == crc_stm32 ? "stm32" : "crc32";
}

} // namespace

int lay_out(command_line *line, layout *laid_out)
{
    // Each image gives one piece, and each region at most one fill more
    // than the images it holds, and its word.
    const std::size_t room = 2 * (line->image_count + line->crc_count);
    *laid_out = {static_cast<piece *>(std::calloc(room, sizeof(piece))), 0,
                 static_cast<image_source *>(std::calloc(line->image_count, sizeof(image_source)))};
    if (laid_out->pieces == nullptr || laid_out->sources == nullptr)
        return fail(exit_cannot_read, "Out of memory\n");
    int status = open_images(line);
    if (status == exit_success)
        status = order_images(line);
    if (status == exit_success)
        status = order_regions(line);
    if (status == exit_success)
        make_pieces(line, laid_out);
    return status;
}

void show_layout(const command_line &line, const layout &laid_out)
{
    for (std::size_t i = 0; i < laid_out.piece_count; ++i) {
        const piece &part = laid_out.pieces[i];
        if (part.size == 0)
            continue; // an empty image has no address of its own
        say(stderr, "0x%08X-0x%08X %10" PRIu64 " bytes  ", part.address,
            static_cast<std::uint32_t>(part.address + part.size - 1), part.size);
        switch (part.kind) {
        case image_piece:
            say(stderr, "%s\n", line.images[part.tag].path);
            break;
        case fill_piece:
            say(stderr, "0xFF fill%s\n", omit_blank != 0 ? ", left out by -s" : "");
            break;
        case crc_piece:
            say(stderr, "CRC %s of 0x%08X-0x%08X: 0x%08X\n", algorithm_name(part.region->algorithm),
                part.region->start, part.region->end - 1, part.region->value);
            break;
        }
    }
}
