/* A bootloader as STM32 bootloaders check their application: it computes
 * the CRC of the application's slot as the CRC unit does after reset (the
 * polynomial 0x04C11DB7, 32-bit words, initial value 0xFFFFFFFF) and
 * compares it with the word stored at the slot's end. Built with
 * -DMCUBOOT, it checks the slot as MCUboot does without a signature
 * instead: the image header's magic, then the SHA-256 of header, code and
 * protected TLVs against the SHA-256 TLV after them. It reports through
 * semihosting: exit status 0 when they agree, 1 when they do not. */
#include <stdint.h>

#define SLOT_START 0x08008000u
#define SLOT_END 0x0801FFFCu /* the CRC word's address */

static void report(int accepted)
{
    /* SYS_EXIT, with "application exit" or "run-time error" as the reason. */
    register uint32_t operation __asm__("r0") = 0x18;
    register uint32_t reason __asm__("r1") = accepted ? 0x20026u : 0x20023u;
    __asm__ volatile("bkpt 0xAB" : : "r"(operation), "r"(reason) : "memory");
    for (;;)
        ;
}

static uint32_t stm32_crc(const volatile uint32_t *word, const volatile uint32_t *end)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (; word < end; ++word) {
        crc ^= *word;
        for (int bit = 0; bit < 32; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

#ifdef MCUBOOT
/* SHA-256 (FIPS 180-4), small and slow, written for this test. */
static const uint32_t rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static uint32_t ror(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

static void sha256_block(uint32_t h[8], const uint8_t *block)
{
    uint32_t w[64], v[8];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 | (uint32_t)block[4 * i + 2] << 8 |
               block[4 * i + 3];
    for (int i = 16; i < 64; ++i)
        w[i] = w[i - 16] + (ror(w[i - 15], 7) ^ ror(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
               (ror(w[i - 2], 17) ^ ror(w[i - 2], 19) ^ (w[i - 2] >> 10));
    for (int i = 0; i < 8; ++i)
        v[i] = h[i];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = v[7] + (ror(v[4], 6) ^ ror(v[4], 11) ^ ror(v[4], 25)) + ((v[4] & v[5]) ^ (~v[4] & v[6])) +
                      rounds[i] + w[i];
        uint32_t t2 = (ror(v[0], 2) ^ ror(v[0], 13) ^ ror(v[0], 22)) + ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        for (int j = 7; j > 0; --j)
            v[j] = v[j - 1];
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i)
        h[i] += v[i];
}

/* The SHA-256 of `size` bytes at `data`, compared with `digest`. */
static int sha256_matches(const uint8_t *data, uint32_t size, const uint8_t *digest)
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t last[128];
    uint32_t done = 0;
    for (int i = 0; i < 128; ++i)
        last[i] = 0;
    for (; size - done >= 64; done += 64)
        sha256_block(h, data + done);
    uint32_t left = size - done, padded = left < 56 ? 64 : 128;
    for (uint32_t i = 0; i < left; ++i)
        last[i] = data[done + i];
    last[left] = 0x80;
    for (int i = 0; i < 8; ++i)
        last[padded - 1 - i] = (uint8_t)((uint64_t)size * 8 >> (8 * i));
    sha256_block(h, last);
    if (padded == 128)
        sha256_block(h, last + 64);
    for (int i = 0; i < 32; ++i)
        if (digest[i] != (uint8_t)(h[i / 4] >> (24 - 8 * (i % 4))))
            return 0;
    return 1;
}

static uint32_t le(const uint8_t *at, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

/* MCUboot's check of an image without a signature. */
static int image_is_valid(const uint8_t *slot)
{
    if (le(slot, 4) != 0x96F3B83Du)
        return 0;
    const uint32_t hashed = le(slot + 8, 2) + le(slot + 12, 4) + le(slot + 10, 2);
    const uint8_t *tlv = slot + hashed;
    if (le(tlv, 2) != 0x6907)
        return 0;
    for (const uint8_t *at = tlv + 4, *end = tlv + le(tlv + 2, 2); at < end; at += 4 + le(at + 2, 2))
        if (at[0] == 0x10 && le(at + 2, 2) == 32)
            return sha256_matches(slot, hashed, at + 4);
    return 0;
}
#endif

void reset(void)
{
#ifdef MCUBOOT
    report(image_is_valid((const uint8_t *)SLOT_START));
#else
    const volatile uint32_t *start = (const volatile uint32_t *)SLOT_START;
    const volatile uint32_t *end = (const volatile uint32_t *)SLOT_END;
    report(stm32_crc(start, end) == *end);
#endif
}

/* The vector table: the initial stack pointer (the top of SRAM) and reset. */
__attribute__((section(".vectors"), used)) static const uintptr_t vectors[2] = {0x20020000u, (uintptr_t)reset};
