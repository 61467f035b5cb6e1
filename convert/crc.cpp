// The CRCs, as fast CRC code computes them: carry-less multiply folding
// where the processor has it, chosen at run time, and slicing tables beside
// it, which every processor runs.
#include "crc.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define FW2HEX_CRC_FOLDING
#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>
#endif

namespace {

constexpr std::uint32_t stm32_polynomial = 0x04C11DB7;   // x^32 implied, bit n is x^n
constexpr std::uint32_t zlib_polynomial = 0xEDB88320;    // the same bits reversed
constexpr std::uint32_t initial_value = 0xFFFFFFFF;      // both flavours
constexpr std::size_t word_size = 4;

using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;

// Table k gives the register a byte leaves after it and k zero bytes more,
// so that eight bytes take eight lookups and no chain of shifts.
constexpr crc_tables make_tables(bool reflected)
{
    crc_tables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t value = reflected ? byte : byte << 24;
        for (int bit = 0; bit < 8; ++bit) {
            if (reflected)
                value = (value & 1) != 0 ? (value >> 1) ^ zlib_polynomial : value >> 1;
            else
                value = (value & 0x80000000u) != 0 ? (value << 1) ^ stm32_polynomial : value << 1;
        }
        tables[0][byte] = value;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t byte = 0; byte < 256; ++byte) {
            const std::uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = reflected ? (previous >> 8) ^ tables[0][previous & 0xFF]
                                        : (previous << 8) ^ tables[0][previous >> 24];
        }
    return tables;
}
constexpr crc_tables zlib_tables = make_tables(true);
constexpr crc_tables stm32_tables = make_tables(false);

inline std::uint32_t load_le32(const unsigned char *bytes)
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

std::uint32_t zlib_by_tables(std::uint32_t value, const unsigned char *bytes, std::size_t count)
{
    const crc_tables &t = zlib_tables;
    for (; count >= 8; count -= 8, bytes += 8) {
        const std::uint32_t low = value ^ load_le32(bytes);
        value = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
                t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
    }
    for (; count > 0; --count, ++bytes)
        value = (value >> 8) ^ t[0][(value ^ *bytes) & 0xFF];
    return value;
}

// A word's most significant byte goes first, so after the word is XORed
// into the register its top byte has the most bytes still to pass.
std::uint32_t stm32_by_tables(std::uint32_t value, const unsigned char *bytes, std::size_t count)
{
    const crc_tables &t = stm32_tables;
    for (; count >= 8; count -= 8, bytes += 8) {
        const std::uint32_t first = value ^ load_le32(bytes);
        const std::uint32_t second = load_le32(bytes + 4);
        value = t[7][first >> 24] ^ t[6][(first >> 16) & 0xFF] ^ t[5][(first >> 8) & 0xFF] ^ t[4][first & 0xFF] ^
                t[3][second >> 24] ^ t[2][(second >> 16) & 0xFF] ^ t[1][(second >> 8) & 0xFF] ^ t[0][second & 0xFF];
    }
    if (count >= word_size) {
        const std::uint32_t word = value ^ load_le32(bytes);
        value = t[3][word >> 24] ^ t[2][(word >> 16) & 0xFF] ^ t[1][(word >> 8) & 0xFF] ^ t[0][word & 0xFF];
    }
    return value;
}

#if defined(FW2HEX_CRC_FOLDING)

// x^n mod P: in plain bit order (bit k is x^k), the remainder of degree 31 at most.
constexpr std::uint64_t power_mod(unsigned n)
{
    std::uint32_t value = 1;
    for (unsigned i = 0; i < n; ++i)
        value = (value & 0x80000000u) != 0 ? (value << 1) ^ stm32_polynomial : value << 1;
    return value;
}
// The same for zlib's polynomial, placed as a 64-bit lane of reflected
// text holds it: x^k at bit 63 - k.
constexpr std::uint64_t reflected_power_mod(unsigned n)
{
    std::uint32_t value = 0x80000000u; // x^0 at bit 31
    for (unsigned i = 0; i < n; ++i)
        value = (value & 1) != 0 ? (value >> 1) ^ zlib_polynomial : value >> 1;
    return std::uint64_t{value} << 32;
}

// The accumulator A = H x^64 + L stands for all text folded so far; moving
// it D bits on is H (x^(D+64) mod P) + L (x^D mod P), two 64 by 32 bit
// products whose sum fits in 128 bits again. With reflected text a
// carry-less product comes out multiplied by x once more, which the
// constants take back by one power less.
constexpr unsigned fold_four = 4 * 128; // four accumulators side by side
constexpr unsigned fold_one = 128;

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i accumulator, __m128i constants)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(accumulator, constants, 0x00),
                         _mm_clmulepi64_si128(accumulator, constants, 0x11));
}

// Reflected text as it lies in memory is the accumulator's own order.
struct zlib_lanes {
    template <unsigned distance> static __m128i constants()
    {
        constexpr std::uint64_t high = reflected_power_mod(distance - 1);
        constexpr std::uint64_t low = reflected_power_mod(distance + 64 - 1);
        return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
    }
    __attribute__((target("sse2"))) static __m128i load(const unsigned char *bytes)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    }
    static __m128i reorder(__m128i lanes) { return lanes; }
    static std::uint32_t by_tables(std::uint32_t value, const unsigned char *bytes, std::size_t count)
    {
        return zlib_by_tables(value, bytes, count);
    }
};

// The STM32's text is its words, most significant bit first: the
// accumulator's top bit is the first word's, so the words go in reverse.
struct stm32_lanes {
    template <unsigned distance> static __m128i constants()
    {
        constexpr std::uint64_t high = power_mod(distance + 64);
        constexpr std::uint64_t low = power_mod(distance);
        return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
    }
    __attribute__((target("sse2"))) static __m128i load(const unsigned char *bytes)
    {
        return reorder(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)));
    }
    __attribute__((target("sse2"))) static __m128i reorder(__m128i lanes)
    {
        return _mm_shuffle_epi32(lanes, 0x1B);
    }
    static std::uint32_t by_tables(std::uint32_t value, const unsigned char *bytes, std::size_t count)
    {
        return stm32_by_tables(value, bytes, count);
    }
};

// Folds 64 bytes a step into four accumulators, then into one, 16 bytes a
// step; the last accumulator and the tail go through the tables. The
// register enters as the first word XORed into the text, which is what both
// flavours do with it.
template <typename lanes>
__attribute__((target("pclmul,sse2"))) std::uint32_t by_folding(std::uint32_t value, const unsigned char *bytes,
                                                                 std::size_t count)
{
    constexpr std::size_t step = 64;
    if (count < step)
        return lanes::by_tables(value, bytes, count);
    __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    first = _mm_xor_si128(first, _mm_cvtsi32_si128(static_cast<int>(value)));
    __m128i a0 = lanes::reorder(first);
    __m128i a1 = lanes::load(bytes + 16);
    __m128i a2 = lanes::load(bytes + 32);
    __m128i a3 = lanes::load(bytes + 48);
    bytes += step;
    count -= step;
    const __m128i by_four = lanes::template constants<fold_four>();
    for (; count >= step; count -= step, bytes += step) {
        a0 = _mm_xor_si128(fold(a0, by_four), lanes::load(bytes));
        a1 = _mm_xor_si128(fold(a1, by_four), lanes::load(bytes + 16));
        a2 = _mm_xor_si128(fold(a2, by_four), lanes::load(bytes + 32));
        a3 = _mm_xor_si128(fold(a3, by_four), lanes::load(bytes + 48));
    }
    const __m128i by_one = lanes::template constants<fold_one>();
    __m128i accumulator = _mm_xor_si128(fold(a0, by_one), a1);
    accumulator = _mm_xor_si128(fold(accumulator, by_one), a2);
    accumulator = _mm_xor_si128(fold(accumulator, by_one), a3);
    for (; count >= 16; count -= 16, bytes += 16)
        accumulator = _mm_xor_si128(fold(accumulator, by_one), lanes::load(bytes));
    // The accumulator is the text folded so far, up to a multiple of P: its
    // 16 bytes leave the register that text would, started from zero.
    unsigned char folded[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(folded), lanes::reorder(accumulator));
    return lanes::by_tables(lanes::by_tables(0, folded, sizeof folded), bytes, count);
}

bool processor_folds()
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0 && (edx & bit_SSE2) != 0;
}
#else
bool processor_folds()
{
    return false;
}
#endif

using crc_kernel = std::uint32_t (*)(std::uint32_t value, const unsigned char *bytes, std::size_t count);
// The implementation of each flavour in use; null until the first CRC starts.
crc_kernel zlib_kernel = nullptr;
crc_kernel stm32_kernel = nullptr;

crc_kernel kernel_of(crc_algorithm algorithm)
{
    if (zlib_kernel == nullptr)
        crc_use_folding(true);
    return algorithm == crc_stm32 ? stm32_kernel : zlib_kernel;
}

} // namespace

bool crc_folding_available()
{
    return processor_folds();
}

void crc_use_folding(bool folding)
{
#if defined(FW2HEX_CRC_FOLDING)
    if (folding && processor_folds()) {
        zlib_kernel = by_folding<zlib_lanes>;
        stm32_kernel = by_folding<stm32_lanes>;
        return;
    }
#else
    (void)folding;
#endif
    zlib_kernel = zlib_by_tables;
    stm32_kernel = stm32_by_tables;
}

void crc_start(crc_state *state, crc_algorithm algorithm)
{
    *state = {algorithm, initial_value, {}, 0};
}

void crc_feed(crc_state *state, const unsigned char *bytes, std::size_t count)
{
    if (count == 0)
        return; // `bytes` may be null then
    const crc_kernel kernel = kernel_of(state->algorithm);
    if (state->algorithm == crc_zlib) {
        state->value = kernel(state->value, bytes, count);
        return;
    }
    // The STM32 takes whole words: a word split between two pieces waits
    // for its last byte.
    if (state->partial_size > 0) {
        const std::size_t taken = count < word_size - state->partial_size ? count : word_size - state->partial_size;
        std::memcpy(state->partial + state->partial_size, bytes, taken);
        state->partial_size += taken;
        bytes += taken;
        count -= taken;
        if (state->partial_size < word_size)
            return;
        state->value = kernel(state->value, state->partial, word_size);
        state->partial_size = 0;
    }
    const std::size_t whole = count - count % word_size;
    state->value = kernel(state->value, bytes, whole);
    std::memcpy(state->partial, bytes + whole, count - whole);
    state->partial_size = count - whole;
}

std::uint32_t crc_finish(const crc_state *state)
{
    return state->algorithm == crc_zlib ? state->value ^ 0xFFFFFFFFu : state->value;
}
