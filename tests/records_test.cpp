// Record text, checksum and the blank tests, case by case.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/ihex.h"
#include "test_support.h"

TEST(AppendChecksum, CompletesRecordText)
{
    const struct {
        const char *body, *record;
    } cases[] = {
        {":00000001", ":00000001FF\n"},
        {":020000040800", ":020000040800F2\n"},
        {":020000042000", ":020000042000DA\n"},
        {":10000000000102030405060708090A0B0C0D0E0F", ":10000000000102030405060708090A0B0C0D0E0F78\n"},
        {":0100100001", ":0100100001EE\n"},
        {":01000000FF", ":01000000FF00\n"}, // bytes already add up to 0
        {":01FFFF0080", ":01FFFF008081\n"},
    };
    for (const auto &c : cases) {
        char line[record_size + 1];
        std::memset(line, '#', sizeof line); // no NUL but the one it writes
        std::strcpy(line, c.body);
        append_checksum(line);
        EXPECT_STREQ(line, c.record) << c.body;
    }
}

namespace {
std::string data_record(std::uint16_t address, const bytes &data)
{
    char line[record_size + 1];
    return std::string(line, put_data_record(line, address, data.data(), data.size()));
}
std::string full_lines(std::uint16_t address, const bytes &data)
{
    char text[3 * record_size + 1];
    return std::string(text, put_full_lines(text, address, data.data(), data.size() / line_size));
}
std::string address_record(std::uint16_t upper)
{
    char line[record_size + 1];
    return std::string(line, put_extended_linear_address(line, upper));
}
} // namespace

TEST(RecordText, AllThreeTypes)
{
    char line[record_size + 1];
    const struct {
        std::string text;
        const char *expected;
    } cases[] = {
        {data_record(0x0000, counting(16)), ":10000000000102030405060708090A0B0C0D0E0F78\n"},
        {data_record(0x0010, {0x01}), ":0100100001EE\n"},
        {data_record(0xFFF0, repeat(16, 0xFF)), ":10FFF000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF11\n"},
        {data_record(0xABCD, {0x00, 0x7F, 0x80}), ":03ABCD00007F8086\n"},
        {full_lines(0xFFD0, counting(48, 0xD0)),
         ":10FFD000D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDFA9\n:10FFE000E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEF99\n"
         ":10FFF000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF89\n"},
        {address_record(0x0800), ":020000040800F2\n"},
        {address_record(0x0008), ":020000040008F2\n"}, // same checksum, other address
        {address_record(0xFFFF), ":02000004FFFFFC\n"},
        {std::string(line, put_end_of_file(line)), ":00000001FF\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.text, c.expected);
}

TEST(TrimBlankTail, KeepsLinesUnlessTailIsFourOrMore)
{
    const struct {
        bytes line;
        std::size_t kept;
    } cases[] = {
        {{}, 0},
        {repeat(16, 0xFF), 0},
        {repeat(1, 0xFF), 1},
        {repeat(3, 0xFF), 3},
        {repeat(4, 0xFF), 0},
        {counting(12, 1) + repeat(4, 0xFF), 12},
        {counting(13, 1) + repeat(3, 0xFF), 16},
        {repeat(4, 0xFF) + bytes{0x01} + repeat(11, 0xFF), 5},
        {bytes{0x01, 0x02} + repeat(14, 0xFF), 2},
        {bytes{0x03, 0xFF, 0xFF, 0xFF}, 4},
        {counting(16, 0xF0), 16}, // ends with a single 0xFF
    };
    for (const auto &c : cases)
        EXPECT_EQ(trim_blank_tail(c.line.data(), c.line.size()), c.kept)
            << "line of " << c.line.size() << " bytes";
}

TEST(BlockIsBlank, FindsAnyNonBlankByte)
{
    bytes block = repeat(65536, 0xFF);
    EXPECT_TRUE(block_is_blank(block.data(), 0));
    EXPECT_TRUE(block_is_blank(block.data(), 1));
    EXPECT_TRUE(block_is_blank(block.data(), 65536));
    // A single other byte anywhere, also in a chunk's tail, is data.
    for (std::size_t at : {0u, 1u, 63u, 64u, 100u, 65471u, 65535u}) {
        block[at] = 0xFE;
        EXPECT_FALSE(block_is_blank(block.data(), 65536)) << at;
        EXPECT_FALSE(block_is_blank(block.data(), at + 1)) << at;
        EXPECT_TRUE(block_is_blank(block.data(), at)) << at;
        block[at] = 0xFF;
    }
}
