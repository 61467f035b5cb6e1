// The table of output formats: a new format is a new file and one row here.
#include "formats.h"

bool no_parameters(const char *parameters)
{
    return parameters == nullptr;
}

const output_format *const output_formats[] = {&intel_hex, &raw_binary, &dfuse, &s_records, &uf2};
const std::size_t output_format_count = sizeof output_formats / sizeof output_formats[0];
const output_format &intel_hex_format = intel_hex;
