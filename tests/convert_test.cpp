// convert_image on whole images: exact text for small ones, golden lines at
// the seams of large ones, failing streams, and random images read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "conversion_support.h"
#include "memory_stream.h"
#include "test_support.h"

namespace {

constexpr std::uint32_t flash = 0x08000000;
const char *const eof = ":00000001FF\n";

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(ConvertImage, WholeText)
{
    const struct {
        const char *what;
        bytes image;
        std::uint32_t load;
        int omit;
        std::string text;
    } cases[] = {
        {"empty", {}, flash, 0, eof},
        {"empty, -s", {}, flash, 1, eof},
        {"one byte", {0x00}, flash, 0, ":020000040800F2\n:0100000000FF\n" + std::string(eof)},
        {"17 bytes", counting(16) + bytes{0x01}, flash, 0,
         ":020000040800F2\n:10000000000102030405060708090A0B0C0D0E0F78\n:0100100001EE\n" + std::string(eof)},
        {"RAM address", {0x00}, 0x20000000, 0, ":020000042000DA\n:0100000000FF\n" + std::string(eof)},
        {"blank line kept without -s", repeat(16, 0xFF), flash, 0,
         ":020000040800F2\n:10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00\n" + std::string(eof)},
        {"blank block left out", repeat(65536, 0xFF) + repeat(16, 0x11), flash, 1,
         ":020000040801F1\n:1000000011111111111111111111111111111111E0\n" + std::string(eof)},
        {"only blank bytes", repeat(70000, 0xFF), flash, 1, eof},
        {"tails of 14 and 3", bytes{1, 2} + repeat(14, 0xFF) + bytes{3, 0xFF, 0xFF, 0xFF}, flash, 1,
         ":020000040800F2\n:020000000102FB\n:0400100003FFFFFFEC\n" + std::string(eof)},
        {"-s twice", bytes{1, 2} + repeat(14, 0xFF), flash, 2,
         ":020000040800F2\n:020000000102FB\n" + std::string(eof)},
        {"tail of 4 trimmed", counting(12, 1) + repeat(4, 0xFF), flash, 1,
         ":020000040800F2\n:0C0000000102030405060708090A0B0CA6\n" + std::string(eof)},
        {"tail of 3 kept", counting(13, 1) + repeat(3, 0xFF), flash, 1,
         ":020000040800F2\n:100000000102030405060708090A0B0C0DFFFFFF98\n" + std::string(eof)},
        {"leading blanks kept", repeat(4, 0xFF) + bytes{0x01} + repeat(11, 0xFF), flash, 1,
         ":020000040800F2\n:05000000FFFFFFFF01FE\n" + std::string(eof)},
        {"short blank last line kept", counting(16) + repeat(3, 0xFF), flash, 1,
         ":020000040800F2\n:10000000000102030405060708090A0B0C0D0E0F78\n:03001000FFFFFFF0\n" +
             std::string(eof)},
        {"blank line skipped, next address kept", counting(16) + repeat(16, 0xFF) + counting(16, 0x40), flash,
         1,
         ":020000040800F2\n:10000000000102030405060708090A0B0C0D0E0F78\n"
         ":10002000404142434445464748494A4B4C4D4E4F58\n" +
             std::string(eof)},
        {"bootloader offset", {0x00}, 0x08004000, 0, ":020000040800F2\n:0140000000BF\n" + std::string(eof)},
        {"line split at 64 KiB", counting(16), 0x0800FFF8, 0,
         ":020000040800F2\n:08FFF8000001020304050607E5\n:020000040801F1\n:0800000008090A0B0C0D0E0F9C\n" +
             std::string(eof)},
        {"top of the address space", counting(16), 0xFFFFFFF0, 0,
         ":02000004FFFFFC\n:10FFF000000102030405060708090A0B0C0D0E0F89\n" + std::string(eof)},
        {"last address", {0xAB}, 0xFFFFFFFF, 0, ":02000004FFFFFC\n:01FFFF00AB56\n" + std::string(eof)},
    };
    for (const auto &c : cases) {
        int result = -1;
        EXPECT_EQ(convert(c.image, c.load, c.omit, &result), c.text) << c.what;
        EXPECT_EQ(result, converted) << c.what;
    }
}

// Golden lines where records meet a 64 KiB boundary.
TEST(ConvertImage, LinesAtTheSeams)
{
    const std::string f0_ff = "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF";
    const struct {
        const char *what;
        std::size_t size;
        std::uint32_t load;
        std::size_t line_count;
        std::vector<std::pair<std::size_t, std::string>> lines;
    } cases[] = {
        {"a block less a byte", 65535, flash, 4098,
         {{0, ":020000040800F2"}, {4096, ":0FFFF000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFE89"}, {4097, ":00000001FF"}}},
        {"one full block", 65536, flash, 4098,
         {{0, ":020000040800F2"}, {4096, ":10FFF000" + f0_ff + "89"}, {4097, ":00000001FF"}}},
        {"a block and a byte", 65537, flash, 4100,
         {{4096, ":10FFF000" + f0_ff + "89"}, {4097, ":020000040801F1"}, {4098, ":0100000000FF"}}},
        {"unaligned load", 65536 + 16, 0x08004000, 4100,
         {{0, ":020000040800F2"},
          {3072, ":10FFF000" + f0_ff + "89"},
          {3073, ":020000040801F1"},
          {3074, ":10000000000102030405060708090A0B0C0D0E0F78"},
          {4098, ":10400000000102030405060708090A0B0C0D0E0F38"}}},
        {"line split inside a block", 65536, 0x08004008, 4100,
         {{3072, ":08FFF800F0F1F2F3F4F5F6F765"},
          {3073, ":020000040801F1"},
          {3074, ":08000000F8F9FAFBFCFDFEFF1C"},
          {3075, ":10000800000102030405060708090A0B0C0D0E0F70"},
          {4098, ":103FF800" + f0_ff + "41"}}},
        {"ends at the top", 65536, 0xFFFF0000, 4098,
         {{0, ":02000004FFFFFC"}, {4096, ":10FFF000" + f0_ff + "89"}, {4097, ":00000001FF"}}},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> lines = lines_of(convert(counting(c.size), c.load, 0));
        ASSERT_EQ(lines.size(), c.line_count) << c.what;
        for (const auto &[index, line] : c.lines)
            EXPECT_EQ(lines[index], line) << c.what << ", line " << index;
    }
}

TEST(ConvertImage, RefusesImagesPastTheTop)
{
    const struct {
        std::size_t size;
        std::uint32_t load;
        std::size_t lines_before_refusal;
    } cases[] = {
        {17, 0xFFFFFFF0, 2},       // the address record and the line that fits
        {2, 0xFFFFFFFF, 0},        // not even one whole line fits
        {25, 0xFFFFFFE8, 2},       // the line that would pass the top is not split
        {65537, 0xFFFF0000, 4097}, // the first block fits and is written
    };
    for (const auto &c : cases) {
        int result = -1;
        const std::string text = convert(counting(c.size), c.load, 0, &result);
        EXPECT_EQ(result, image_too_large) << c.load;
        EXPECT_EQ(lines_of(text).size(), c.lines_before_refusal) << c.load;
        EXPECT_FALSE(read_hex(text).ended) << c.load;
    }
    load_address = 0xFFFFFFF0;
    EXPECT_TRUE(image_fits(16));
    EXPECT_FALSE(image_fits(17));
    load_address = 0;
    EXPECT_TRUE(image_fits(std::uint64_t{1} << 32));
    EXPECT_FALSE(image_fits((std::uint64_t{1} << 32) + 1));
}

// Every byte lands at load + offset; with -s only blank bytes are missing.
TEST(ConvertImage, RandomImagesReadBack)
{
    const std::uint32_t loads[] = {flash, 0x08004000, 0x0800FFF8, 0x0800FFFF, 0x00000001,
                                   0xFFFC0000};
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const bytes image = random_image(40000 + seed * 37000, seed);
        for (std::uint32_t load : loads) {
            for (int omit : {0, 1}) {
                const hex_contents hex = read_hex(convert(image, load, omit));
                ASSERT_EQ(hex.fault, "") << "seed " << seed << " load " << load << " omit " << omit;
                ASSERT_TRUE(hex.ended);
                std::size_t written = 0;
                for (std::size_t i = 0; i < image.size(); ++i) {
                    const std::uint8_t *at = hex.at(std::uint64_t{load} + i);
                    if (at == nullptr) {
                        ASSERT_TRUE(omit && image[i] == 0xFF) << "byte " << i << " missing";
                    } else {
                        ASSERT_EQ(*at, image[i]) << "byte " << i;
                        ++written;
                    }
                }
                EXPECT_EQ(written, hex.memory.size()) << "bytes outside the image";
            }
        }
    }
}

TEST(ConvertImage, FailingStreams)
{
    constexpr std::size_t never = SIZE_MAX;
    const struct {
        std::size_t image_size, read_limit, write_limit;
        convert_result result;
        bool write_recovers = false; // the output works again after one failed write
    } cases[] = {
        {0, never, never, converted},
        {200000, never, never, converted},
        {200000, 200000, never, converted}, // the image ends as the limit is reached
        {200000, 0, never, read_failed},
        {200000, 1, never, read_failed},
        {200000, 65536, never, read_failed},
        {200000, 70000, never, read_failed},
        {0, never, 0, write_failed},   // the End Of File record fails at the final flush
        {0, never, 5, write_failed},
        {200000, never, 0, write_failed},
        {200000, never, 100, write_failed},
        {200000, never, 300000, write_failed},
        {200000, never, 100, write_failed, true}, // the failed block write alone ends it
        {200000, never, 300000, write_failed, true},
        {0, never, 5, write_failed, true},
    };
    for (const auto &c : cases) {
        const bytes image = counting(c.image_size);
        memory_stream in{&image, c.read_limit, 0, {}}, out{nullptr, c.write_limit, 0, {}, c.write_recovers};
        std::FILE *input = in.open_for_reading();
        std::FILE *output = out.open_for_writing();
        load_address = flash;
        omit_blank = 0;
        EXPECT_EQ(convert_image(input, output), c.result)
            << c.image_size << " bytes, read limit " << c.read_limit << ", write limit " << c.write_limit
            << (c.write_recovers ? ", recovers" : "");
        std::fclose(input);
        std::fclose(output);
        const hex_contents hex = read_hex(out.written);
        EXPECT_EQ(hex.ended, c.result == converted) << "End Of File record only after success";
    }
}
