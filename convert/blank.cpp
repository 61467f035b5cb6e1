// Blank tests for leaving erased (0xFF) regions out of the output.
#include "blank.h"

namespace {
constexpr std::size_t min_blank_tail = 4; // shorter blank tails stay in the record
constexpr std::size_t blank_chunk = 64;   // bytes tested per step of the block scan
} // namespace

bool block_is_blank(const unsigned char *bytes, std::size_t count)
{
    // Chunks without early exit inside let the compiler test many bytes
    // at once; the scan still stops at the first chunk with data.
    std::size_t i = 0;
    for (; i + blank_chunk <= count; i += blank_chunk) {
        unsigned char all = blank_byte;
        for (std::size_t j = 0; j < blank_chunk; ++j)
            all &= bytes[i + j];
        if (all != blank_byte)
            return false;
    }
    for (; i < count; ++i)
        if (bytes[i] != blank_byte)
            return false;
    return true;
}

std::size_t trim_blank_tail(const unsigned char *line, std::size_t length)
{
    std::size_t kept = length;
    while (kept > 0 && line[kept - 1] == blank_byte)
        --kept;
    return length - kept >= min_blank_tail ? kept : length;
}
