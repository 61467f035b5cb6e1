// Each reader on its own, at the seam the walk uses: a file in, the
// stretches it finds or its first fault out (where, as "line:column: "
// or "line: ", and what), no process started.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "conversion_support.h"
#include "formats/format.h"
#include "formats/formats.h"
#include "test_support.h"

namespace {

using stretch_list = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

struct reading {
    stretch_list stretches;
    std::string fault; // empty for a well-formed file
};

reading read_file(const part_reader &reader, std::string text)
{
    const std::size_t size = text.size();
    text.push_back('\0'); // fmemopen wants a byte at least
    std::FILE *input = fmemopen(&text[0], size == 0 ? 1 : size, "rb");
    if (size == 0)
        std::fgetc(input);
    part_stretches found{nullptr, 0, 0};
    const part_fault fault = read_with(reader, input, size, &found);
    std::fclose(input);
    reading result{{}, ""};
    if (fault.verdict != part_well_formed)
        result.fault = (fault.line > 0 ? std::to_string(fault.line) : "") +
                       (fault.column > 0 ? ":" + std::to_string(fault.column) : "") + ": " + fault.text;
    for (std::size_t i = 0; fault.verdict == part_well_formed && i < found.count; ++i)
        result.stretches.emplace_back(found.items[i].address, found.items[i].size);
    std::free(found.items);
    return result;
}

reading read_text(const std::string &text)
{
    return read_file(intel_hex_reader, text);
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
        std::string fault;
    } cases[] = {
        {"linear base", ela + hex_line(0, 0x10, {1, 2}) + eof, {{0x08000010, 2}}, ""},
        {"linear base, CR LF", crlf(ela + hex_line(0, 0x10, {1, 2}) + eof), {{0x08000010, 2}}, ""},
        {"segment base", hex_line(2, 0, {0x10, 0x00}) + hex_line(0, 0x10, {1}) + eof, {{0x10010, 1}}, ""},
        {"no base", hex_line(0, 0xFFF0, counting(16)) + eof, {{0xFFF0, 16}}, ""},
        {"across 64 KiB after 04: on, linearly", ela + hex_line(0, 0xFFF8, counting(32)) + hex_line(4, 0, {0x08, 0x01}) +
             hex_line(0, 0x18, {1}) + eof, {{0x0800FFF8, 33}}, ""},
        {"across 64 KiB after 02", hex_line(2, 0, {0x10, 0x00}) + hex_line(0, 0xFFF8, counting(16)) + eof, {},
         "2: the data record passes the end of its 64 KiB segment"},
        {"across 64 KiB before any base", hex_line(0, 0xFFF8, counting(16)) + eof, {}, "1: the data record passes the end of its 64 KiB segment"},
        {"past the top after 04", hex_line(4, 0, {0xFF, 0xFF}) + hex_line(0, 0xFFF8, counting(9)) + eof, {},
         "2: the data record passes 0xFFFFFFFF"},
        {"up to the top after 04", hex_line(4, 0, {0xFF, 0xFF}) + hex_line(0, 0xFFF8, counting(8)) + eof,
         {{0xFFFFFFF8, 8}}, ""},
        {"address field of 04", hex_line(4, 1, {0x08, 0x00}) + eof, {}, "1: the address field of a record of type 04 must be 0000"},
        {"address field of 02", full + hex_line(2, 0x100, {0x10, 0x00}) + eof, {}, "2: the address field of a record of type 02 must be 0000"},
        {"address field of 05", hex_line(5, 0x8000, {0x08, 0, 1, 1}) + eof, {}, "1: the address field of a record of type 05 must be 0000"},
        {"address field of 01", hex_line(1, 0x10, {}), {}, ""},
        {"a space after the checksum", ela + full.substr(0, full.size() - 1) + " \n" + eof, {}, "2:44: a space after the checksum"},
        {"a space before the checksum's end", ela + full.substr(0, full.size() - 2) + " \n" + eof, {}, "2:43: a character that is not a hexadecimal digit"},
        {"a byte order mark", "\xEF\xBB\xBF" + full + eof, {}, "1:1: a UTF-8 byte order mark (saved by an editor?)"},
        {"a DOS end of file after the end", full + eof + "\x1A", {}, "3:1: a DOS end-of-file character (0x1A) after the End Of File record"},
        {"a DOS end of file on the end's line", full + ":00000001FF\x1A\r\n", {}, "2:12: a DOS end-of-file character (0x1A) after the End Of File record"},
        {"full lines across a gap", ela + full + hex_line(0, 0x20, counting(16)) + eof,
         {{0x08000000, 16}, {0x08000020, 16}}, ""},
        {"CR LF: faults at their lines", crlf(ela + full_lines + full.substr(0, full.size() - 3) + "00\n" + eof), {},
         "6: wrong checksum, 0x78 would be right"},
        {"the earlier line of a shared address, past address records", ela + hex_line(0, 0xFFF0, counting(16)) +
             hex_line(4, 0, {0x08, 0x01}) + hex_line(0, 0, counting(16)) + hex_line(0, 0x8, {1}) + eof, {},
         "5: data records share the address 0x8010008 with line 4"},
        {"touching records out of order", hex_line(0, 0x10, counting(16)) + full + eof, {{0, 16}, {0x10, 16}},
         ""},
        {"lowercase digits", lower + eof, {{0, 16}}, ""},
        {"':' among a full line's digits", ela + colon + eof, {}, "2:21: a character that is not a hexadecimal digit"},
        {"a pair's second digit", ":010000000G" + hex_line(0, 0, {0}).substr(11) + eof, {}, "1:11: a character that is not a hexadecimal digit"},
        {"255 bytes a record, CR LF", crlf(ela + longest + eof), {{0x08000000, 255}}, ""},
        // ... its CR at the end of the first 4 KiB read, its LF in the next.
        {"255 bytes a record, CR LF, across a read", crlf(ela + lines_79 + "\n" + hex_line(0, 0x1000, repeat(255, 0xAB)) + eof),
         {{0x08000000, 79 * 16}, {0x08001000, 255}}, ""},
        {"empty lines after the end", full + eof + "\n\r\n\n", {{0, 16}}, ""},
        {"two files joined", full + eof + full + eof, {}, "3: a record after the End Of File record (two files joined into one?)"},
        {"cut short", ela + full, {}, ": no End Of File record; it may have been cut short"},
    };
    for (const auto &c : cases) {
        const reading got = read_text(c.text);
        EXPECT_EQ(got.fault, c.fault) << c.what;
        EXPECT_EQ(got.stretches, c.stretches) << c.what;
    }
}
