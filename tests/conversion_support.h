// The conversion as the tests drive it, without the command line: a raw
// image to Intel HEX, and a part read through on a cursor of its own.
#ifndef FW2HEX_CONVERSION_SUPPORT_H
#define FW2HEX_CONVERSION_SUPPORT_H

#include <cstdint>
#include <cstdio>

#include "convert/convert.h"
#include "convert/part.h"

// Where convert_image puts the image's first byte, and whether it leaves
// blank lines out (non-zero), as -a and -s would.
extern std::uint32_t load_address;
extern int omit_blank;

// Reads the raw image from `input` (binary) and writes its Intel HEX text
// to `output` (binary), as the program does for one image alone.
convert_result convert_image(std::FILE *input, std::FILE *output, bool *holds_data = nullptr);

// The settings the tests' conversions run with.
walk_settings test_settings();

// Whether an image of `size` bytes fits at load_address.
inline bool image_fits(std::uint64_t size)
{
    return image_fits(size, load_address);
}

// Reads `input` (`size` bytes) through with `reader`, as the layout does.
part_fault read_with(const part_reader &reader, std::FILE *input, std::uint64_t size, part_stretches *stretches);

#endif
