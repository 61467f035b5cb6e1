// The table of output formats: a new format is a new file and one row
// here; and the buffer the binary formats write through.
#include "formats.h"

#include <cstring>

namespace {

std::FILE *stage_output;           // where the staged bytes go
unsigned char stage[stage_size];   // the bytes not yet written
std::size_t staged;                // how many

} // namespace

void stage_start(std::FILE *output)
{
    stage_output = output;
    staged = 0;
}

bool stage_flush()
{
    const bool written = write_bytes(stage_output, stage, staged);
    staged = 0;
    return written;
}

convert_result stage_finish()
{
    return stage_flush() && std::fflush(stage_output) == 0 ? converted : write_failed;
}

unsigned char *stage_room(std::size_t count)
{
    if (staged + count > stage_size && !stage_flush())
        return nullptr;
    staged += count;
    return stage + staged - count;
}

bool stage_bytes(const void *bytes, std::size_t count)
{
    const auto *from = static_cast<const unsigned char *>(bytes);
    while (count > 0) {
        const std::size_t taken = std::min(count, stage_size - staged);
        std::memcpy(stage + staged, from, taken);
        staged += taken;
        from += taken;
        count -= taken;
        if (staged == stage_size && !stage_flush())
            return false;
    }
    return true;
}

bool no_parameters(const char *parameters)
{
    return parameters == nullptr;
}

const file_format *const file_formats[] = {&intel_hex, &raw_binary, &dfuse, &s_records, &uf2, &elf_format};
const std::size_t file_format_count = sizeof file_formats / sizeof file_formats[0];
const file_format &intel_hex_format = intel_hex;

const file_format &format_reading(const part_reader &reader)
{
    std::size_t i = 0;
    while (i + 1 < file_format_count && file_formats[i]->reader != &reader)
        ++i;
    return *file_formats[i];
}
