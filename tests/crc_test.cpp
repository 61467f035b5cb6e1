// The CRCs of -c, both implementations: the published check values, and
// every length and split against the bit-by-bit computation.
#include <gtest/gtest.h>

#include <cstring>

#include "convert/crc.h"
#include "test_support.h"

namespace {

std::uint32_t crc_of(crc_algorithm algorithm, const bytes &data, std::size_t split)
{
    crc_state state;
    crc_start(&state, algorithm);
    crc_feed(&state, data.data(), split);
    crc_feed(&state, data.data() + split, data.size() - split);
    return crc_finish(&state);
}

bytes text(const char *ascii)
{
    return bytes(ascii, ascii + std::strlen(ascii));
}

} // namespace

TEST(Crc, CheckValuesAndEveryLength)
{
    const struct {
        crc_algorithm algorithm;
        bytes data;
        std::uint32_t value;
    } checks[] = {
        {crc_stm32, {0x01, 0x02, 0x03, 0x04}, 0x1DABE74F},
        {crc_stm32, text("12345678"), 0xFEFC54F9},
        {crc_stm32, {0, 0, 0, 0}, 0xC704DD7B},
        {crc_stm32, {}, 0xFFFFFFFF},
        {crc_zlib, text("123456789"), 0xCBF43926},
        {crc_zlib, {}, 0x00000000},
        {crc_zlib, repeat(16, 0xFF), 0x3FB3C61A}, // Python's zlib.crc32
    };
    const bytes random = random_image(70000, 7);
    for (const bool folding : {false, true}) {
        if (folding && !crc_folding_available()) {
            std::printf("not run: CRC folding (the processor has no carry-less multiply)\n");
            continue;
        }
        crc_use_folding(folding);
        for (const auto &c : checks)
            for (std::size_t split = 0; split <= c.data.size(); ++split)
                EXPECT_EQ(crc_of(c.algorithm, c.data, split), c.value) << folding << " " << c.algorithm << " " << split;
        // Folding takes 64 bytes a step, then 16: lengths around those
        // steps, from odd addresses, fed in two pieces split off the word grid.
        for (std::size_t size = 0; size < 1100; size += size < 200 ? 1 : 61) {
            const bytes data(random.begin() + 3, random.begin() + 3 + static_cast<std::ptrdiff_t>(size));
            const bytes words(data.begin(), data.end() - static_cast<std::ptrdiff_t>(size % 4));
            for (const std::size_t split : {std::size_t{0}, size / 3, size}) {
                EXPECT_EQ(crc_of(crc_zlib, data, split), bitwise_zlib_crc(data.data(), size)) << folding << " " << size;
                EXPECT_EQ(crc_of(crc_stm32, words, std::min(split, words.size())),
                          bitwise_stm32_crc(words.data(), words.size())) << folding << " " << size;
            }
        }
        EXPECT_EQ(crc_of(crc_stm32, random, 65536 + 1), bitwise_stm32_crc(random.data(), random.size())) << folding;
        EXPECT_EQ(crc_of(crc_zlib, random, 5), bitwise_zlib_crc(random.data(), random.size())) << folding;
    }
    crc_use_folding(true);
}
