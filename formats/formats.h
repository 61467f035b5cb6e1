// What the files of the output formats share, and each one's row.
#ifndef FW2HEX_FORMATS_H
#define FW2HEX_FORMATS_H

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "convert/blank.h"
#include "format.h"

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

// The binary formats' bytes gather in one large buffer and leave in whole
// buffers, so that every write but the last starts at a file offset that is
// a multiple of its size, whatever headers came before: unaligned writes
// cost the kernel a quarter more time.
constexpr std::size_t stage_size = 0x100000;
void stage_start(std::FILE *output);
// Room for `count` bytes (at most stage_size), the full buffer written first
// when it has no room left; null when that write failed. The bytes count
// as staged once there.
unsigned char *stage_room(std::size_t count);
// Copies `count` bytes of any size in; false when a write failed.
bool stage_bytes(const void *bytes, std::size_t count);
// Writes what is staged; false when the output refuses it.
bool stage_flush();
// The end of the output: what is staged written and the stream flushed.
convert_result stage_finish();

// The readers of the formats that are also written, beside their writers.
extern const part_reader intel_hex_reader, s_record_reader, dfuse_reader, uf2_reader;

// What -v says of a UF2 file's stretch: its family.
void describe_uf2_stretch(std::FILE *input, const part_stretch &stretch, char *text, std::size_t size);
// A DfuSe stretch's target: its name (empty when it has none), and for -v
// its alternate setting and name ("alt 1 'Option Bytes'").
void name_dfuse_target(std::FILE *input, const part_stretch &stretch, char *name, std::size_t size);
void describe_dfuse_target(std::FILE *input, const part_stretch &stretch, char *name, std::size_t size);

extern const file_format intel_hex, raw_binary, dfuse, s_records, uf2, elf_format;

#endif
