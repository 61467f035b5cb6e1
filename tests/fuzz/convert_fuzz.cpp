// Fuzz target: any image at any load address, with and without -s, must
// convert to text that a strict reader accepts and that holds each image
// byte at load + offset, or leaves it out only where blank omission may.
//
// Input: 4 bytes load address (little-endian), 1 byte of switches (bit 0:
// -s; the other bits: how often the body repeats, so that small inputs
// reach past a 64 KiB block), then the body of the image.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hex_reader.h"
#include "memory_stream.h"
#include "conversion_support.h"

// The checks stay out of the fuzzer's coverage (clang's attribute); g++
// builds them plainly for the corpus replay of the test suite.
#if defined(__clang__)
#define not_covered __attribute__((no_sanitize("coverage")))
#else
#define not_covered
#endif

namespace {

constexpr std::size_t header_size = 5;
constexpr std::size_t largest_image = 0x10000 + 4096; // reaches past a block seam
constexpr std::uint64_t top = std::uint64_t{1} << 32;

[[noreturn]] void fault(const char *what, const std::string &detail = "")
{
    std::fprintf(stderr, "fw2hex rule broken: %s %s\n", what, detail.c_str());
    std::abort();
}

// How many bytes of the line at `start` blank omission keeps: whole blank
// blocks go, and a line's blank tail goes when it is 4 bytes or longer.
std::size_t kept_of_line(const std::vector<std::uint8_t> &image, std::size_t start, bool blank_block)
{
    if (blank_block)
        return 0;
    const std::size_t length = std::min<std::size_t>(16, image.size() - start);
    std::size_t kept = length;
    while (kept > 0 && image[start + kept - 1] == 0xFF)
        --kept;
    return length - kept >= 4 ? kept : length;
}

// Each byte of `image` is written, or left out where omission may.
not_covered void check_omission(const std::vector<std::uint8_t> &image,
                                                             std::uint32_t load, bool omit, const hex_contents &hex)
{
    if (hex.memory.size() > 0 && hex.memory.back().first - load >= image.size())
        fault("bytes written past the whole lines below the top");
    for (std::size_t block = 0; block < image.size(); block += 0x10000) {
        const std::size_t end = std::min(image.size(), block + 0x10000);
        const bool blank_block =
            omit && std::all_of(image.begin() + static_cast<long>(block), image.begin() + static_cast<long>(end),
                                [](std::uint8_t b) { return b == 0xFF; });
        for (std::size_t line = block; line < end; line += 16) {
            const std::size_t kept = omit ? kept_of_line(image, line, blank_block) : std::min<std::size_t>(16, end - line);
            for (std::size_t i = line; i < std::min(end, line + 16); ++i)
                if ((hex.at(std::uint64_t{load} + i) != nullptr) != (i < line + kept))
                    fault("byte kept or left out against the omission rules", std::to_string(i));
        }
    }
}

// The rules, checked against an independent model of the conversion. Left
// out of the fuzzer's coverage: its loops over every byte would only slow
// the search down.
not_covered void check_conversion(const std::vector<std::uint8_t> &image,
                                                               std::uint32_t load, bool omit,
                                                               convert_result result, const std::string &text)
{
    const bool fits = load + image.size() <= top;
    if (image_fits(image.size()) != fits)
        fault("image_fits disagrees about the top of the address space");
    if (result != (fits ? converted : image_too_large))
        fault("wrong result", std::to_string(result));

    const hex_contents hex = read_hex(text);
    if (!hex.fault.empty())
        fault("reader:", hex.fault);
    if (hex.ended != fits)
        fault("End Of File record after a refusal, or missing after success");

    // Each byte written is the image's byte at its place.
    for (const auto &[address, value] : hex.memory) {
        if (address < load || address - load >= image.size() || image[address - load] != value)
            fault("byte at the wrong address or of the wrong value");
    }
    // Each record holds bytes of one 16-byte line of the image, from the
    // line's start or, for the second half of a split line, from a 64 KiB
    // boundary.
    for (const auto &[address, count] : hex.records) {
        const std::uint64_t offset = address - load;
        if (offset / 16 != (offset + count - 1) / 16 || (offset % 16 != 0 && address % 0x10000 != 0))
            fault("record that is not one line of the image", std::to_string(offset));
    }
    // What was converted: all of the image, or of a refused one the whole
    // lines below the top.
    std::vector<std::uint8_t> converted_part = image;
    if (!fits) {
        const std::uint64_t room = top - load;
        converted_part.resize(static_cast<std::size_t>(room - room % 16));
    }
    check_omission(converted_part, load, omit, hex);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < header_size)
        return 0;
    std::uint32_t load = 0;
    for (int i = 3; i >= 0; --i)
        load = load << 8 | data[i];
    const bool omit = (data[4] & 1) != 0;
    const std::size_t repeats = 1 + (data[4] >> 1);
    std::vector<std::uint8_t> image;
    for (std::size_t i = 0; i < repeats && image.size() < largest_image; ++i)
        image.insert(image.end(), data + header_size, data + size);

    memory_stream in{&image, SIZE_MAX, 0, {}}, out{nullptr, SIZE_MAX, 0, {}};
    std::FILE *input = in.open_for_reading();
    std::FILE *output = out.open_for_writing();
    load_address = load;
    omit_blank = omit ? 1 : 0;
    const convert_result result = convert_image(input, output);
    std::fclose(input);
    std::fclose(output);

    check_conversion(image, load, omit, result, out.written);
    return 0;
}
