// Fuzz target: the readers of parts (ELF, Intel HEX, S-records, DfuSe,
// UF2). No input makes a reader crash, hang or read out of bounds; what
// one accepts converts, and, written back in its own format and read again,
// holds the same bytes at the same addresses (a UF2 file, whose blocks are
// whole, may add erased bytes around them).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hex_reader.h"
#include "convert/convert.h"
#include "conversion_support.h"
#include "formats/format.h"

namespace {

using memory_map = std::map<std::uint32_t, std::uint8_t>;

[[noreturn]] void fault(const char *what)
{
    std::fprintf(stderr, "fw2hex rule broken: %s\n", what);
    std::abort();
}

// The format whose reader takes `input`, as -i tells it, or null.
const file_format *format_of(std::FILE *input)
{
    unsigned char head[part_head_size];
    const std::size_t size = std::fread(head, 1, sizeof head, input);
    for (std::size_t i = 0; i < file_format_count; ++i)
        if (file_formats[i]->reader != nullptr && file_formats[i]->reader->recognise(head, size, by_first_character))
            return file_formats[i];
    return nullptr;
}

// The stretches of `input`, as the layout lays them out: each its own piece.
std::vector<piece> pieces_of(std::FILE *input, const file_format &format, const part_stretches &stretches)
{
    std::vector<piece> pieces;
    for (std::size_t i = 0; i < stretches.count; ++i) {
        const part_stretch &stretch = stretches.items[i];
        pieces.push_back({part_piece, stretch.address, stretch.size, true, input, nullptr, "fuzz", format.reader,
                          &stretch, 1, nullptr, 0, 0, nullptr});
    }
    return pieces;
}

// Writes the pieces in `format` to a new temporary file, rewound; null when
// the format cannot hold them.
std::FILE *write_pieces(std::vector<piece> &pieces, const file_format &format)
{
    run_list runs{nullptr, 0, 0};
    std::size_t failed = 0;
    if (format.needs_plan && plan_runs(pieces.data(), pieces.size(), test_settings(), &runs, &failed) != converted)
        fault("an accepted file cannot be planned");
    std::size_t at = 0;
    if (format.judge != nullptr && format.judge(runs, &at) != plan_fits) {
        std::free(runs.items);
        return nullptr;
    }
    std::FILE *output = std::tmpfile();
    if (output == nullptr || !format.writer.start(output, "fuzz", &runs, 0) ||
        convert_pieces(pieces.data(), pieces.size(), format.writer, test_settings()) != converted)
        fault("an accepted file does not convert");
    std::free(runs.items);
    std::rewind(output);
    return output;
}

// Reads `input` as `format`'s part and converts it to Intel HEX; its bytes
// by address. False when the reader refuses it.
bool read_part(std::FILE *input, std::uint64_t size, const file_format &format, memory_map *memory)
{
    part_stretches stretches{nullptr, 0, 0, 0};
    std::rewind(input);
    const part_fault verdict = read_with(*format.reader, input, size, &stretches);
    if (verdict.verdict != part_well_formed) {
        std::free(stretches.items);
        return false;
    }
    std::vector<piece> pieces = pieces_of(input, format, stretches);
    std::FILE *text = write_pieces(pieces, intel_hex_format);
    std::string written;
    for (int c; (c = std::fgetc(text)) != EOF;)
        written.push_back(static_cast<char>(c));
    std::fclose(text);
    std::free(stretches.items);
    if (!read_any_hex(written, memory))
        fault("the converted text breaks a rule");
    std::uint64_t total = 0;
    for (const piece &run : pieces)
        total += run.size;
    if (total != memory->size())
        fault("bytes lost or added");
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::FILE *input = std::tmpfile();
    if (input == nullptr)
        return 0;
    if (size > 0)
        std::fwrite(data, 1, size, input);
    std::rewind(input);
    omit_blank = 0;
    const file_format *format = format_of(input);
    memory_map first;
    if (format == nullptr || !read_part(input, size, *format, &first) || format->writer.start == nullptr) {
        std::fclose(input);
        return 0;
    }
    // Written back in its own format and read again.
    part_stretches stretches{nullptr, 0, 0, 0};
    std::rewind(input);
    read_with(*format->reader, input, size, &stretches);
    std::vector<piece> pieces = pieces_of(input, *format, stretches);
    if (format->configure != nullptr && !format->configure(std::strcmp(format->name, "uf2") == 0 ? "0x57755A57" : nullptr))
        fault("the format takes no parameters");
    std::FILE *again = write_pieces(pieces, *format);
    std::free(stretches.items);
    std::fclose(input);
    if (again == nullptr)
        return 0; // an empty layout, which DfuSe and UF2 cannot hold
    std::fseek(again, 0, SEEK_END);
    const auto again_size = static_cast<std::uint64_t>(std::ftell(again));
    memory_map second;
    if (!read_part(again, again_size, *format, &second))
        fault("what fw2hex wrote, it refuses to read");
    std::fclose(again);
    const bool padded = std::strcmp(format->name, "uf2") == 0; // UF2's whole blocks
    for (const auto &[address, value] : first) {
        const auto found = second.find(address);
        if (found == second.end() || found->second != value)
            fault("a byte changed or moved");
    }
    for (const auto &[address, value] : second)
        if (first.count(address) == 0 && (!padded || value != 0xFF))
            fault("a byte added");
    return 0;
}
