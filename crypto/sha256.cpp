// SHA-256 as FIPS 180-4 defines it: 64-byte blocks, each mixed into eight
// 32-bit chaining words by 64 rounds; the message padded with 0x80, zeros
// and its length in bits, big-endian. Plain code for builds that link no
// crypto library (Windows, macOS, the 64-bit ARM cross-build); the tests
// check it against NIST's vectors whatever the build links.
#include "hash.h"

#include <cstring>

namespace {

constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotate(std::uint32_t x, unsigned n)
{
    return (x >> n) | (x << (32 - n));
}

std::uint32_t get_be32(const unsigned char *at)
{
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

void put_be32(unsigned char *at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

// Mixes one 64-byte block into the chaining words.
void compress(std::uint32_t chain[8], const unsigned char *block)
{
    std::uint32_t w[64];
    for (std::size_t i = 0; i < 16; ++i)
        w[i] = get_be32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t v[8];
    std::memcpy(v, chain, sizeof v);
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
        const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        const std::uint32_t t1 = v[7] + s1 + choice + round_constants[i] + w[i];
        const std::uint32_t s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
        const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        std::memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += t1;
        v[0] = t1 + s0 + majority;
    }
    for (int i = 0; i < 8; ++i)
        chain[i] += v[i];
}

} // namespace

void sha256_builtin_start(sha256_builtin *state)
{
    static constexpr std::uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state->chain, initial, sizeof initial);
    state->length = 0;
}

void sha256_builtin_feed(sha256_builtin *state, const unsigned char *bytes, std::size_t count)
{
    auto filled = static_cast<std::size_t>(state->length % 64);
    state->length += count;
    if (filled > 0) {
        const std::size_t taken = count < 64 - filled ? count : 64 - filled;
        std::memcpy(state->block + filled, bytes, taken);
        bytes += taken;
        count -= taken;
        if (filled + taken < 64)
            return;
        compress(state->chain, state->block);
    }
    for (; count >= 64; bytes += 64, count -= 64)
        compress(state->chain, bytes);
    std::memcpy(state->block, bytes, count);
}

void sha256_builtin_finish(sha256_builtin *state, unsigned char digest[sha256_size])
{
    const std::uint64_t bits = state->length * 8;
    unsigned char padding[72] = {0x80};
    const auto filled = static_cast<std::size_t>(state->length % 64);
    const std::size_t zeros = (filled < 56 ? 56 : 120) - filled; // 0x80 and zeros up to the length field
    for (int i = 0; i < 8; ++i)
        padding[zeros + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    sha256_builtin_feed(state, padding, zeros + 8);
    for (std::size_t i = 0; i < 8; ++i)
        put_be32(digest + 4 * i, state->chain[i]);
}
