// The seam between the command line and the conversion: settings in,
// streams in, one result out. Nothing behind it prints or names a file.
#ifndef FW2HEX_IHEX_H
#define FW2HEX_IHEX_H

#include <cstdint>
#include <cstdio>

// Address of the first image byte; set once, before convert_image runs.
extern std::uint32_t load_address;
// Number of "-s" options seen; non-zero leaves blank regions out.
extern int omit_blank;

// Where STM32 flash begins, the load address unless told otherwise.
constexpr std::uint32_t default_load_address = 0x08000000;

enum convert_result {
    converted,      // the whole image and the End Of File record went out
    read_failed,    // the input reported an error (not end of input)
    write_failed,   // the output refused a write or the final flush
    image_too_large // an image byte would lie above 0xFFFFFFFF
};

// True when an image of `size` bytes at `address` stays inside the 32-bit
// address space.
bool image_fits(std::uint64_t size, std::uint32_t address = load_address);

// One image of a merged output: its stream (binary) and the address of its
// first byte.
struct image_source {
    std::FILE *stream;
    std::uint32_t address;
};

// Reads the raw image from `input` (binary) and writes its Intel HEX text,
// line ends included, to `output` (binary). Stops at the first failure; never opens or closes
// either stream. `holds_data`, when given, tells whether any data record
// was written (an empty image, or an erased one with omission, has none).
convert_result convert_image(std::FILE *input, std::FILE *output, bool *holds_data = nullptr);

// The same for `count` images, in the order given (the caller sorts them by
// address and keeps them apart), as one text with one End Of File record:
// an Extended Linear Address record stands only where the upper address
// bits change, also from one image to the next. On failure, `failed` (when
// given) is the index of the image that was being converted.
convert_result convert_images(const image_source *images, std::size_t count, std::FILE *output,
                              bool *holds_data = nullptr, std::size_t *failed = nullptr);

#endif
