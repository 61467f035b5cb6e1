// Fuzz target: the Intel HEX reader against the tests' own slow one. Both
// accept or both refuse the same text; what they accept, laid out and
// converted, is read back by the strict reader to the same bytes. No text
// makes the reader crash, hang or read out of bounds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "hex_reader.h"
#include "conversion_support.h"
#include "formats/format.h"
#include "memory_stream.h"

namespace {

[[noreturn]] void fault(const char *what)
{
    std::fprintf(stderr, "fw2hex rule broken: %s\n", what);
    std::abort();
}

// The accepted file's stretches converted, as -i lays them out alone.
std::string convert_stretches(std::FILE *input, const part_stretches &stretches)
{
    std::vector<piece> pieces;
    for (std::size_t i = 0; i < stretches.count; ++i) {
        const part_stretch &stretch = stretches.items[i];
        pieces.push_back({part_piece, stretch.address, stretch.size, true, input, nullptr, "fuzz.hex",
                          intel_hex_format.reader, &stretch, 1, nullptr, 0, 0, nullptr});
    }
    memory_stream out{nullptr, SIZE_MAX, 0, {}};
    std::FILE *output = out.open_for_writing();
    omit_blank = 0;
    const convert_result result = intel_hex_format.writer.start(output, "", nullptr, 0)
                                      ? convert_pieces(pieces.data(), pieces.size(), intel_hex_format.writer, test_settings())
                                      : write_failed;
    std::fclose(output);
    if (result != converted)
        fault("an accepted file does not convert");
    return out.written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::map<std::uint32_t, std::uint8_t> expected;
    const bool slow_accepts = read_any_hex(text, &expected);

    std::string copy = text; // fmemopen wants a buffer of its own, and one byte at least
    copy.push_back('\0');
    std::FILE *input = fmemopen(&copy[0], size == 0 ? 1 : size, "rb");
    if (input == nullptr)
        return 0;
    if (size == 0)
        std::fgetc(input); // an empty file: at its end
    part_stretches stretches{nullptr, 0, 0, 0};
    const part_fault result = read_with(*intel_hex_format.reader, input, size, &stretches);
    if ((result.verdict == part_well_formed) != slow_accepts)
        fault(slow_accepts ? "a well-formed file refused" : "a malformed file accepted");
    if (slow_accepts) {
        const hex_contents back = read_hex(convert_stretches(input, stretches));
        if (!back.fault.empty())
            fault("the converted text breaks a rule");
        if (back.memory.size() != expected.size())
            fault("bytes lost or added");
        std::size_t i = 0;
        for (const auto &[address, value] : expected)
            if (back.memory[i].first != address || back.memory[i++].second != value)
                fault("a byte changed or moved");
    }
    std::free(stretches.items);
    std::fclose(input);
    return 0;
}
