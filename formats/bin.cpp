// A raw binary: the bytes from the lowest address the output holds to the
// highest, every gap between them erased flash (0xFF). It has no addresses,
// so nothing can be left out, and a gap costs its size in the file.
#include <cstring>

#include "formats.h"

namespace {

// No single STM32 memory has a hole this large: a larger gap is two
// memories in one file (flash at 0x08000000, RAM at 0x20000000, external
// flash at 0x90000000), gigabytes of 0xFF.
constexpr std::uint64_t largest_gap = std::uint64_t{16} << 20;

bool started;          // a byte has been written
std::uint64_t next;    // the address after the last byte written

plan_verdict judge(const run_list &runs, std::size_t *at)
{
    for (std::size_t i = 0; i + 1 < runs.count; ++i)
        if (runs.items[i + 1].address - (runs.items[i].address + runs.items[i].size) > largest_gap) {
            *at = i;
            return plan_gap_too_large;
        }
    return plan_fits;
}

bool start(std::FILE *stream, const char * /*unused*/, const run_list * /*unused*/, std::uint32_t /*unused*/)
{
    stage_start(stream);
    started = false;
    return true;
}

// The gap up to `address`, as erased flash.
bool put_gap(std::uint32_t address)
{
    for (; next < address; next += std::min<std::uint64_t>(stage_size, address - next)) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(stage_size, address - next));
        unsigned char *room = stage_room(count);
        if (room == nullptr)
            return false;
        std::memset(room, blank_byte, count);
    }
    return true;
}

convert_result put(std::uint32_t address, const unsigned char *bytes, std::size_t count)
{
    if (started && !put_gap(address))
        return write_failed;
    started = true;
    next = std::uint64_t{address} + count;
    return stage_bytes(bytes, count) ? converted : write_failed;
}

convert_result finish(bool /*unused*/)
{
    return stage_finish();
}

} // namespace

const file_format raw_binary{"bin", "raw binary", "a", "bin", "", ".bin ", ".bin", "the output is empty", no_parameters,
                             false, false, judge, {start, put, finish}, nullptr, "binary ", false, nullptr, false};
