// What the files of the output formats share, and each one's row.
#ifndef FW2HEX_FORMATS_H
#define FW2HEX_FORMATS_H

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "convert/blank.h"
#include "convert/format.h"

// The configure of a format that takes no parameters.
bool no_parameters(const char *parameters);

// Little-endian fields, as the binary formats store them.
inline void put_le16(unsigned char *out, std::uint32_t value)
{
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
}
inline void put_le32(unsigned char *out, std::uint32_t value)
{
    put_le16(out, value);
    put_le16(out + 2, value >> 16);
}

// Writes `count` bytes; false when the output refuses them.
inline bool write_bytes(std::FILE *output, const void *bytes, std::size_t count)
{
    return std::fwrite(bytes, 1, count, output) == count;
}

extern const output_format intel_hex, raw_binary, dfuse, s_records, uf2;

#endif
