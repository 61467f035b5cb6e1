#include "conversion_support.h"

#include <memory>

#include "formats/format.h"

std::uint32_t load_address = default_load_address;
int omit_blank = 0;

walk_settings test_settings()
{
    return {omit_blank != 0};
}

convert_result convert_image(std::FILE *input, std::FILE *output, bool *holds_data)
{
    piece image{image_piece, load_address, 0, false, input, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, 0, nullptr};
    if (!intel_hex_format.writer.start(output, "", nullptr, 0))
        return write_failed;
    return convert_pieces(&image, 1, intel_hex_format.writer, test_settings(), holds_data);
}

part_fault read_with(const part_reader &reader, std::FILE *input, std::uint64_t size, part_stretches *stretches)
{
    const auto cursor = std::make_unique<part_cursor>();
    return read_part_file(cursor.get(), reader, input, size, stretches);
}
