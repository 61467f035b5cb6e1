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

// True when an image of `size` bytes at `load_address` stays inside
// the 32-bit address space.
bool image_fits(std::uint64_t size);

// Reads the raw image from `input` (binary) and writes its Intel HEX text
// to `output` (text). Stops at the first failure; never opens or closes
// either stream. `holds_data`, when given, tells whether any data record
// was written (an empty image, or an erased one with omission, has none).
convert_result convert_image(std::FILE *input, std::FILE *output, bool *holds_data = nullptr);

#endif
