// The Intel HEX reader on its own: text in, the stretches it finds or its
// first fault (kind and line) out, no process started.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "ihex/read.h"
#include "test_support.h"

namespace {

using stretch_list = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

struct reading {
    stretch_list stretches;
    hex_fault_kind kind;
    std::uint64_t line, other_line;
};

reading read_text(std::string text)
{
    const std::size_t size = text.size();
    text.push_back('\0'); // fmemopen wants a byte at least
    std::FILE *input = fmemopen(&text[0], size == 0 ? 1 : size, "rb");
    if (size == 0)
        std::fgetc(input);
    hex_stretches found{nullptr, 0, 0};
    const hex_fault fault = read_hex_file(input, &found);
    std::fclose(input);
    reading result{{}, fault.kind, fault.line, fault.other_line};
    for (std::size_t i = 0; fault.kind == hex_well_formed && i < found.count; ++i)
        result.stretches.emplace_back(found.items[i].address, found.items[i].size);
    std::free(found.items);
    return result;
}

std::string crlf(const std::string &text)
{
    return replaced(text, "\n", "\r\n");
}

} // namespace

TEST(ReadHex, Cases)
{
    const std::string eof = ":00000001FF\n";
    const std::string ela = hex_line(4, 0, {0x08, 0x00}); // base 0x08000000
    const std::string full = hex_line(0, 0, counting(16));
    std::string full_lines; // 0x08000000 to 0x0800003F, in four full lines
    for (unsigned line = 0; line < 4; ++line)
        full_lines += hex_line(0, 16 * line, counting(16, static_cast<std::uint8_t>(16 * line)));
    std::string lower = full;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string colon = full;
    colon[20] = ':';
    const std::string longest = hex_line(0, 0, repeat(255, 0xAB));
    std::string lines_79; // 79 full lines of 45 characters with CR LF, from 0x08000000
    for (unsigned line = 0; line < 79; ++line)
        lines_79 += hex_line(0, 16 * line, counting(16));
    const struct {
        const char *what;
        std::string text;
        stretch_list stretches;
        hex_fault_kind kind;
        std::uint64_t line, other_line;
    } cases[] = {
        {"linear base", ela + hex_line(0, 0x10, {1, 2}) + eof, {{0x08000010, 2}}, hex_well_formed, 0, 0},
        {"linear base, CR LF", crlf(ela + hex_line(0, 0x10, {1, 2}) + eof), {{0x08000010, 2}}, hex_well_formed, 0, 0},
        {"segment base", hex_line(2, 0, {0x10, 0x00}) + hex_line(0, 0x10, {1}) + eof, {{0x10010, 1}}, hex_well_formed, 0, 0},
        {"no base", hex_line(0, 0xFFF0, counting(16)) + eof, {{0xFFF0, 16}}, hex_well_formed, 0, 0},
        {"across 64 KiB after 04: on, linearly", ela + hex_line(0, 0xFFF8, counting(32)) + hex_line(4, 0, {0x08, 0x01}) +
             hex_line(0, 0x18, {1}) + eof, {{0x0800FFF8, 33}}, hex_well_formed, 0, 0},
        {"across 64 KiB after 02", hex_line(2, 0, {0x10, 0x00}) + hex_line(0, 0xFFF8, counting(16)) + eof, {},
         hex_crosses_segment, 2, 0},
        {"across 64 KiB before any base", hex_line(0, 0xFFF8, counting(16)) + eof, {}, hex_crosses_segment, 1, 0},
        {"past the top after 04", hex_line(4, 0, {0xFF, 0xFF}) + hex_line(0, 0xFFF8, counting(9)) + eof, {},
         hex_passes_top, 2, 0},
        {"up to the top after 04", hex_line(4, 0, {0xFF, 0xFF}) + hex_line(0, 0xFFF8, counting(8)) + eof,
         {{0xFFFFFFF8, 8}}, hex_well_formed, 0, 0},
        {"address field of 04", hex_line(4, 1, {0x08, 0x00}) + eof, {}, hex_bad_address_field, 1, 0},
        {"address field of 02", full + hex_line(2, 0x100, {0x10, 0x00}) + eof, {}, hex_bad_address_field, 2, 0},
        {"address field of 05", hex_line(5, 0x8000, {0x08, 0, 1, 1}) + eof, {}, hex_bad_address_field, 1, 0},
        {"address field of 01", hex_line(1, 0x10, {}), {}, hex_well_formed, 0, 0},
        {"a space after the checksum", ela + full.substr(0, full.size() - 1) + " \n" + eof, {}, hex_space_after_checksum, 2, 0},
        {"a space before the checksum's end", ela + full.substr(0, full.size() - 2) + " \n" + eof, {}, hex_bad_digit, 2, 0},
        {"a byte order mark", "\xEF\xBB\xBF" + full + eof, {}, hex_byte_order_mark, 1, 0},
        {"a DOS end of file after the end", full + eof + "\x1A", {}, hex_dos_end_of_file, 3, 0},
        {"a DOS end of file on the end's line", full + ":00000001FF\x1A\r\n", {}, hex_dos_end_of_file, 2, 0},
        {"full lines across a gap", ela + full + hex_line(0, 0x20, counting(16)) + eof,
         {{0x08000000, 16}, {0x08000020, 16}}, hex_well_formed, 0, 0},
        {"CR LF: faults at their lines", crlf(ela + full_lines + full.substr(0, full.size() - 3) + "00\n" + eof), {},
         hex_bad_checksum, 6, 0},
        {"the earlier line of a shared address, past address records", ela + hex_line(0, 0xFFF0, counting(16)) +
             hex_line(4, 0, {0x08, 0x01}) + hex_line(0, 0, counting(16)) + hex_line(0, 0x8, {1}) + eof, {},
         hex_shared_address, 5, 4},
        {"touching records out of order", hex_line(0, 0x10, counting(16)) + full + eof, {{0, 16}, {0x10, 16}},
         hex_well_formed, 0, 0},
        {"lowercase digits", lower + eof, {{0, 16}}, hex_well_formed, 0, 0},
        {"':' among a full line's digits", ela + colon + eof, {}, hex_bad_digit, 2, 0},
        {"a pair's second digit", ":010000000G" + hex_line(0, 0, {0}).substr(11) + eof, {}, hex_bad_digit, 1, 0},
        {"255 bytes a record, CR LF", crlf(ela + longest + eof), {{0x08000000, 255}}, hex_well_formed, 0, 0},
        // ... its CR at the end of the first 4 KiB read, its LF in the next.
        {"255 bytes a record, CR LF, across a read", crlf(ela + lines_79 + "\n" + hex_line(0, 0x1000, repeat(255, 0xAB)) + eof),
         {{0x08000000, 79 * 16}, {0x08001000, 255}}, hex_well_formed, 0, 0},
        {"empty lines after the end", full + eof + "\n\r\n\n", {{0, 16}}, hex_well_formed, 0, 0},
        {"two files joined", full + eof + full + eof, {}, hex_after_end, 3, 0},
        {"cut short", ela + full, {}, hex_no_end, 0, 0},
    };
    for (const auto &c : cases) {
        const reading got = read_text(c.text);
        EXPECT_EQ(got.kind, c.kind) << c.what;
        EXPECT_EQ(got.line, c.line) << c.what;
        EXPECT_EQ(got.other_line, c.other_line) << c.what;
        EXPECT_EQ(got.stretches, c.stretches) << c.what;
    }
}
