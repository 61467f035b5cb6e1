// Each reader on its own, at the seam the walk uses: a file in, the
// stretches it finds or its first fault out (where, as "line:column: "
// or "line: ", and what), no process started.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "conversion_support.h"
#include "formats/format.h"
#include "formats/formats.h"
#include "memory_stream.h"
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
    part_stretches found{nullptr, 0, 0, 0};
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

// The bytes of every stretch of a well-formed file, taken at the seam in
// address order on one cursor, as the walk takes them.
bytes take_all(const part_reader &reader, std::string text)
{
    std::FILE *input = fmemopen(&text[0], text.size(), "rb");
    part_stretches found{nullptr, 0, 0, 0};
    read_with(reader, input, text.size(), &found);
    bytes taken;
    const auto cursor = std::make_unique<part_cursor>();
    for (std::size_t i = 0; i < found.count; ++i) {
        if (!open_stretch(cursor.get(), reader, input, found.items[i]))
            break;
        for (std::uint64_t left = found.items[i].size; left > 0;) {
            unsigned char chunk[7]; // small, so that records are handed over in parts
            std::size_t count = 0;
            if (reader.take(cursor.get(), chunk, std::min<std::uint64_t>(left, sizeof chunk), &count) != converted || count == 0)
                return taken;
            taken.insert(taken.end(), chunk, chunk + count);
            left -= count;
        }
    }
    std::free(found.items);
    std::fclose(input);
    return taken;
}

// `data` at `address` in `format` (configured with `parameters`), as its
// writer writes it.
std::string written_as(const file_format &format, const char *parameters, std::uint32_t address, const bytes &data)
{
    memory_stream out{nullptr, SIZE_MAX, 0, {}};
    std::FILE *output = out.open_for_writing();
    std::string source(data.begin(), data.end());
    std::FILE *input = fmemopen(&source[0], source.size(), "rb");
    piece image{image_piece, address, data.size(), true, input, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, 0, nullptr};
    run_list runs{nullptr, 0, 0};
    std::size_t failed = 0;
    if (format.configure(parameters) && plan_runs(&image, 1, walk_settings{false}, &runs, &failed) == converted &&
        format.writer.start(output, "", &runs, 0))
        convert_pieces(&image, 1, format.writer, walk_settings{false});
    std::fclose(output);
    std::fclose(input);
    std::free(runs.items);
    return out.written;
}

// `text` with `patch` written over it at `at` (from the end when negative),
// or cut there when `patch` is empty.
std::string patched(std::string text, long at, const std::string &patch = "")
{
    const std::size_t from = at < 0 ? text.size() - static_cast<std::size_t>(-at) : static_cast<std::size_t>(at);
    if (patch.empty())
        text.resize(from);
    else
        text.replace(from, patch.size(), patch);
    return text;
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
        {"data under both a segment and a linear base", hex_line(2, 0, {0x10, 0x00}) + ela + hex_line(0, 0, {1}) + eof, {},
         "3: the data record is read under both the Extended Segment Address of line 1 and the Extended Linear Address of "
         "line 2, which readers add or choose between differently"},
        {"a zero segment base, then a linear one, as objcopy switches", hex_line(2, 0, {0x10, 0x00}) + hex_line(0, 0, {1}) +
             hex_line(2, 0, {0, 0}) + ela + hex_line(0, 0, {2}) + eof, {{0x10000, 1}, {0x08000000, 1}}, ""},
    };
    for (const auto &c : cases) {
        const reading got = read_text(c.text);
        EXPECT_EQ(got.fault, c.fault) << c.what;
        EXPECT_EQ(got.stretches, c.stretches) << c.what;
    }
}

// The other readers at the same seam: the stretches a file gives, or its
// first fault; and for a well-formed file, the bytes its stretches give back.
TEST(ReadParts, Cases)
{
    const std::string header = "S0060000686472BB\n";
    const std::string end = "S9030000FC\n";
    const bytes sixteen = counting(16);
    const std::string elf = elf_file({{".text", 0x08000000, 0x08000000, counting(16)}, {".data", 0x20000000, 0x08000010, counting(8, 0x40)}});
    const std::string dfu = written_as(dfuse, nullptr, 0x08000000, counting(200));
    const std::string uf2_file = written_as(uf2, "stm32f4", 0x08000000, counting(600));
    const struct {
        const char *what;
        const part_reader &reader;
        std::string file;
        stretch_list stretches;
        std::string fault;
        bytes taken; // what the stretches give back, in address order
    } cases[] = {
        {"S-records: header, data, count, termination", s_record_reader,
         header + s_record(1, 0x10, 2, {1, 2, 3, 4}) + "S5030001FB\n" + end, {{0x10, 4}}, "", {1, 2, 3, 4}},
        {"S-records: full S3 lines, CR LF", s_record_reader,
         replaced(s_record(3, 0x08000000, 4, sixteen) + s_record(3, 0x08000010, 4, sixteen) + "S70500000000FA\n", "\n", "\r\n"),
         {{0x08000000, 32}}, "", sixteen + sixteen},
        {"S-records: touching records out of order, taken back by address", s_record_reader,
         s_record(3, 0x08000010, 4, sixteen) + s_record(3, 0x08000000, 4, counting(16, 0x80)) + end,
         {{0x08000000, 16}, {0x08000010, 16}}, "", counting(16, 0x80) + sixteen},
        {"S-records: stretches apart, on one cursor", s_record_reader,
         s_record(2, 0x100, 3, {1}) + s_record(2, 0x200, 3, {2}) + s_record(2, 0x300, 3, {3}) + end,
         {{0x100, 1}, {0x200, 1}, {0x300, 1}}, "", {1, 2, 3}},
        {"S-records: a count record last", s_record_reader, s_record(1, 0x10, 2, {1}) + "S5030001FB\n", {{0x10, 1}}, "", {1}},
        {"S-records: a data record last", s_record_reader, header + s_record(1, 0x10, 2, {1}), {},
         ": ends with a data record: the file may have been cut short (if it was written so, write it with a count (S5) "
         "or termination (S7 to S9) record)", {}},
        {"S-records: a full line's checksum", s_record_reader, patched(s_record(3, 0x08000000, 4, sixteen), 44, "00") + end,
         {}, "1: wrong checksum, 0x6A would be right", {}},
        {"S-records: a count that disagrees", s_record_reader, s_record(1, 0x10, 2, {1}) + "S5030002FA\n" + end, {},
         "2: the S5 record counts 2 data records, and 1 come before it", {}},
        {"S-records: a header after data", s_record_reader, s_record(1, 0x10, 2, {1}) + header, {},
         "2: an S0 header record that is not the first record", {}},
        {"S-records: past the top", s_record_reader, s_record(3, 0xFFFFFFFE, 4, {1, 2, 3}) + end, {},
         "1: the data record passes 0xFFFFFFFF", {}},
        {"S-records: a tab after the checksum", s_record_reader, patched(s_record(1, 0x10, 2, {1}), -1, "\t\n") + end, {},
         "1:13: a tab after the checksum", {}},
        {"S-records: a DOS end of file after the termination", s_record_reader, end + "\x1A", {},
         "2:1: a DOS end-of-file character (0x1A) after the termination record", {}},
        {"S-records: two files joined", s_record_reader, end + end, {},
         "2: a record after the termination record (two files joined into one?)", {}},
        {"S-records: a shared address", s_record_reader, s_record(1, 0x10, 2, {1, 2}) + s_record(1, 0x11, 2, {3}) + end, {},
         "2: data records share the address 0x11 with line 1", {}},
        {"S-records: a termination record with data", s_record_reader, s_record(1, 0x10, 2, {1}) + s_record(9, 0, 2, {7}),
         {}, "2: wrong byte count for its record type", {}},
        {"S-records: full S3 lines with CR LF, and a fault after them", s_record_reader,
         replaced(s_record(3, 0x08000000, 4, sixteen) + s_record(3, 0x08000010, 4, sixteen) + "S4030000FC\n", "\n", "\r\n"),
         {}, "3:2: unknown record type S4", {}},
        {"S-records: S4", s_record_reader, "S4030000FC\n", {}, "1:2: unknown record type S4", {}},
        {"S-records: a byte order mark", s_record_reader, "\xEF\xBB\xBF" + end, {},
         "1:1: a UTF-8 byte order mark (saved by an editor?)", {}},
        {"Intel HEX: a stretch across segment bases, taken back", intel_hex_reader,
         hex_line(2, 0, {0x10, 0x00}) + hex_line(0, 0xFFF0, sixteen) + hex_line(2, 0, {0x20, 0x00}) + hex_line(0, 0, {7}) +
             ":00000001FF\n", {{0x1FFF0, 17}}, "", sixteen + bytes{7}},
        {"ELF: .text, and .data loaded behind it", *elf_format.reader, elf, {{0x08000000, 16}, {0x08000010, 8}}, "",
         counting(16) + counting(8, 0x40)},
        {"ELF: a single loadable segment at physical address 0 loads there", *elf_format.reader,
         elf_file({{".text", 0x08000000, 0, counting(16)}}), {{0, 16}}, "", counting(16)},
        {"ELF: physical addresses all 0 in two loadable segments are left out", *elf_format.reader,
         elf_file({{".text", 0x08000000, 0, counting(16)}, {".data", 0x20000000, 0, counting(8)}}),
         {{0x08000000, 16}, {0x20000000, 8}}, "", counting(16) + counting(8)},
        {"ELF: a position-independent program (ET_DYN)", *elf_format.reader, patched(elf, 16, "\x03"),
         {{0x08000000, 16}, {0x08000010, 8}}, "", counting(16) + counting(8, 0x40)},
        {"ELF: a section past the end of the file", *elf_format.reader,
         patched(elf, static_cast<long>(get_le32(reinterpret_cast<const unsigned char *>(elf.data()) + 32) + 40 + 20),
                 std::string("\x00\x01\x00\x00", 4)),
         {}, ": section .text lies past the end of the file; it may have been cut short", {}},
        {"ELF: cut in its section table", *elf_format.reader, patched(elf, -20), {},
         ": the section header table (4 entries) does not fit in the file; it may have been cut short", {}},
        {"DfuSe: as its writer writes it", dfuse_reader, dfu, {{0x08000000, 200}}, "", counting(200)},
        {"DfuSe: a byte changed", dfuse_reader, patched(dfu, 300, "\x02"), {},
         ": the suffix's CRC is 0xCE5BE01A, 0x4EFF3EBC would be right", {}},
        {"DfuSe: every target read", dfuse_reader, dfuse_file({{0, "ST...", 0x08000000, {1, 2}}, {1, "ST...", 0x1FFFC000, {3, 4}}}),
         {{0x08000000, 2}, {0x1FFFC000, 2}}, "", {1, 2, 3, 4}},
        {"DfuSe: an image size that counts the suffix", dfuse_reader, dfuse_file({{0, "ST...", 0x08000000, {1, 2}}}, 0x0483, 0xDF11, 0, true),
         {{0x08000000, 2}}, "", {1, 2}},
        {"DfuSe: an element past the top", dfuse_reader, dfuse_file({{0, "ST...", 0xFFFFFFFF, {1, 2}}}), {},
         ": target 0, element 0 at 0xFFFFFFFF passes 0xFFFFFFFF", {}},
        {"DfuSe: a target's size more than its elements", dfuse_reader,
         dfuse_file({{0, "ST...", 0x08000000, {1, 2}}, {1, "ST...", 0x1FFFC000, {3, 4}}}, 0x0483, 0xDF11, 2), {},
         ": target 0's size is 12 bytes, and its elements with their headers hold 10", {}},
        {"UF2: a full payload of 476 bytes", uf2_reader, patched(written_as(uf2, "stm32f4", 0x08000000, counting(16)), 16, "\xDC\x01"),
         {{0x08000000, 476}}, "", counting(16) + repeat(240, 0xFF) + repeat(220, 0)},
        {"UF2: block 1 of 1", uf2_reader, patched(written_as(uf2, "stm32f4", 0x08000000, counting(16)), 20, "\x01"), {},
         ": block 0 is numbered 1 of 1 blocks", {}},
        {"UF2: three blocks, the last one padded", uf2_reader, uf2_file, {{0x08000000, 768}}, "", counting(600) + repeat(168, 0xFF)},
        {"UF2: a block left out", uf2_reader, patched(uf2_file, 512, "").substr(0, 512) + uf2_file.substr(1024), {},
         ": block 1 of 3 is missing: the file may have been cut short", {}},
        {"UF2: cut at a block's end", uf2_reader, patched(uf2_file, 1024), {}, ": block 2 of 3 is missing: the file may have been cut short", {}},
        {"UF2: a block twice", uf2_reader, uf2_file.substr(0, 1024) + uf2_file.substr(512), {},
         ": block 2 of 3 is missing: the file may have been cut short", {}},
        {"UF2: two files joined, each whole", uf2_reader, uf2_file + written_as(uf2, "stm32f4", 0x08010000, counting(16)),
         {{0x08000000, 768}, {0x08010000, 256}}, "", counting(600) + repeat(168, 0xFF) + counting(16) + repeat(240, 0xFF)},
        {"UF2: cut short", uf2_reader, patched(uf2_file, -1), {},
         ": its size, 1535 bytes, is not a multiple of 512; it may have been cut short", {}},
    };
    for (const auto &c : cases) {
        const reading got = read_file(c.reader, c.file);
        EXPECT_EQ(got.fault, c.fault) << c.what;
        EXPECT_EQ(got.stretches, c.stretches) << c.what;
        if (c.fault.empty()) {
            EXPECT_EQ(take_all(c.reader, c.file), c.taken) << c.what;
        }
    }
}
