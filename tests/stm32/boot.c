/* A bootloader as STM32 bootloaders check their application (C, built as
 * C++ so that it links fw2hex's built-in SHA-256): it computes
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
#include "crypto/hash.h"

/* The SHA-256 of `size` bytes at `data`, by the built-in SHA-256 that
 * fw2hex's tests check against NIST's vectors, compared with `digest`. */
static int sha256_matches(const uint8_t *data, uint32_t size, const uint8_t *digest)
{
    sha256_builtin state;
    unsigned char computed[sha256_size];
    sha256_builtin_start(&state);
    sha256_builtin_feed(&state, data, size);
    sha256_builtin_finish(&state, computed);
    for (std::size_t i = 0; i < sha256_size; ++i)
        if (computed[i] != digest[i])
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
