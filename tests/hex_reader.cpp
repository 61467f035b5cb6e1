#include "hex_reader.h"

#include <algorithm>
#include <vector>

using bytes = std::vector<std::uint8_t>;

namespace {

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower case is no part of this writer's text either
}

// Decodes the hex digits after ':' into bytes; false on any bad digit.
bool decode(const std::string &line, bytes *out)
{
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0)
        return false;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const int high = digit(line[i]), low = digit(line[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

} // namespace

hex_contents read_hex(const std::string &text)
{
    hex_contents result;
    std::string line;
    bytes record;
    long segment = -1;          // upper address bits of the last Extended Linear Address
    bool awaiting_data = false; // an Extended Linear Address not yet used by data
    int number = 0;
    auto fail = [&](const std::string &why) {
        result.fault = "line " + std::to_string(number) + ": " + why + ": " + line;
        return result;
    };
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        ++number;
        end = text.find('\n', start);
        line.assign(text, start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos)
            return fail("last line without its line end");
        if (result.ended)
            return fail("text after the End Of File record");
        record.clear();
        if (!decode(line, &record))
            return fail("not a record");
        const std::size_t count = record[0];
        if (record.size() != count + 5)
            return fail("byte count disagrees with the length");
        unsigned sum = 0;
        for (std::uint8_t byte : record)
            sum += byte;
        if (sum % 256 != 0)
            return fail("bad checksum");
        const unsigned offset = record[1] * 256u + record[2];
        if (result.start != 0 && record[3] != 0x01)
            return fail("a record between the Start Linear Address and End Of File");
        if (awaiting_data && record[3] != 0x00)
            return fail("Extended Linear Address that no data record uses");
        awaiting_data = record[3] == 0x04;
        switch (record[3]) {
        case 0x00:
            if (segment < 0)
                return fail("data before any Extended Linear Address");
            if (count == 0 || count > 16 || offset + count > 0x10000)
                return fail("data record of bad size or crossing 64 KiB");
            result.records.emplace_back((std::uint64_t(segment) << 16) + offset, count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint64_t address = (std::uint64_t(segment) << 16) + offset + i;
                if (!result.memory.empty() && address <= result.memory.back().first)
                    return fail("address written twice or out of order");
                result.memory.emplace_back(address, record[4 + i]);
            }
            break;
        case 0x01:
            if (count != 0 || offset != 0)
                return fail("bad End Of File record");
            result.ended = true;
            break;
        case 0x05:
            if (count != 4 || offset != 0 || result.start != 0)
                return fail("bad Start Linear Address record");
            result.start = static_cast<std::uint32_t>(record[4]) << 24 | record[5] << 16 | record[6] << 8 | record[7];
            if (result.start == 0)
                return fail("Start Linear Address 0, which says nothing");
            break;
        case 0x04: {
            if (count != 2 || offset != 0)
                return fail("bad Extended Linear Address record");
            const long upper = record[4] * 256L + record[5];
            if (upper == segment)
                return fail("Extended Linear Address that changes nothing");
            segment = upper;
            break;
        }
        default:
            return fail("unexpected record type");
        }
    }
    return result;
}

const std::uint8_t *hex_contents::at(std::uint64_t address) const
{
    const auto found = std::lower_bound(memory.begin(), memory.end(), std::make_pair(address, std::uint8_t{0}));
    return found != memory.end() && found->first == address ? &found->second : nullptr;
}

bool read_any_hex(const std::string &text, std::map<std::uint32_t, std::uint8_t> *memory, std::uint32_t *start_address)
{
    if (start_address != nullptr)
        *start_address = 0;
    std::uint32_t base = 0;
    bool linear = false; // the base is an Extended Linear Address's
    bool ended = false;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos)
            end = text.size();
        else if (end > start && text[end - 1] == '\r')
            --end; // CR LF
        std::string line = text.substr(start, end - start);
        start = next;
        if (line.empty())
            continue;
        if (ended || line[0] != ':' || line.size() % 2 == 0 || line.size() < 11)
            return false;
        bytes record;
        for (std::size_t i = 1; i < line.size(); i += 2) {
            const std::string pair = line.substr(i, 2);
            if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            record.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
        }
        unsigned sum = 0;
        for (std::uint8_t byte : record)
            sum += byte;
        const unsigned count = record[0], offset = record[1] * 256u + record[2], type = record[3];
        if (record.size() != count + 5 || sum % 256 != 0 || type > 5)
            return false;
        const int fixed[] = {-1, 0, 2, 4, 2, 4};
        if (type != 0 && static_cast<int>(count) != fixed[type])
            return false;
        if (type >= 2 && offset != 0)
            return false;
        if (type == 0) {
            // Linear addresses go on past 64 KiB, up to the top; segments do not.
            if (linear ? std::uint64_t{base} + offset + count > 0x100000000 : offset + count > 0x10000)
                return false;
            for (unsigned i = 0; i < count; ++i)
                if (!memory->emplace(base + offset + i, record[4 + i]).second)
                    return false;
        }
        if (type == 1)
            ended = true;
        if (type == 3 && start_address != nullptr)
            *start_address = (record[4] * 256u + record[5]) * 16u + record[6] * 256u + record[7];
        if (type == 5 && start_address != nullptr)
            *start_address = static_cast<std::uint32_t>(record[4]) << 24 | record[5] << 16 | record[6] << 8 | record[7];
        if (type == 2 || type == 4) {
            base = (record[4] * 256u + record[5]) << (type == 2 ? 4 : 16);
            linear = type == 4;
        }
    }
    return ended;
}
