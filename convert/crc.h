// The CRC a bootloader checks over its application's flash slot, in the two
// flavours firmware meets: the STM32 CRC unit's and zlib's.
#ifndef FW2HEX_CRC_H
#define FW2HEX_CRC_H

#include <cstddef>
#include <cstdint>

enum crc_algorithm {
    // The STM32 CRC unit after reset (and its HAL by default): polynomial
    // 0x04C11DB7, initial value 0xFFFFFFFF, 32-bit words read little-endian
    // and fed most significant bit first, no reflection, no final XOR.
    crc_stm32,
    // zlib's, Ethernet's and PNG's CRC-32: reflected polynomial 0xEDB88320,
    // initial value and final XOR 0xFFFFFFFF, any byte alignment.
    crc_zlib
};

// A CRC being computed over bytes that arrive in pieces of any size.
struct crc_state {
    crc_algorithm algorithm;
    std::uint32_t value;       // the shift register
    unsigned char partial[4];  // stm32: the bytes of a word not yet complete
    std::size_t partial_size;
};

void crc_start(crc_state *state, crc_algorithm algorithm);
void crc_feed(crc_state *state, const unsigned char *bytes, std::size_t count);
// The CRC of everything fed; stm32 needs whole words, and ignores a partial one.
std::uint32_t crc_finish(const crc_state *state);

// The two implementations: the table one, slicing eight bytes per step, and
// carry-less multiply folding where the processor has it (x86-64 with
// PCLMULQDQ). The faster one is chosen on first use; the tests choose each.
bool crc_folding_available();
// Uses folding when `folding` and the processor has it, else the tables.
void crc_use_folding(bool folding);

#endif
