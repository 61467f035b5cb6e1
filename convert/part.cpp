// What every reader of a part shares: its list of stretches, their order
// and overlaps, and reading at an offset.
#include "part.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

bool add_stretch(part_stretches *stretches, const part_stretch &stretch)
{
    if (stretches->count == stretches->room) {
        const std::size_t room = stretches->room == 0 ? 16 : 2 * stretches->room;
        void *grown = std::realloc(stretches->items, room * sizeof(part_stretch));
        if (grown == nullptr)
            return false;
        stretches->items = static_cast<part_stretch *>(grown);
        stretches->room = room;
    }
    stretches->items[stretches->count++] = stretch;
    return true;
}

bool sort_stretches(part_stretches *stretches, const part_stretch **first, const part_stretch **second,
                    std::uint32_t *address)
{
    part_stretch *items = stretches->items;
    // std::sort, which needs no memory of its own.
    std::sort(items, items + stretches->count, [](const part_stretch &a, const part_stretch &b) {
        return a.address != b.address ? a.address < b.address : a.number < b.number;
    });
    // Sorted by address, a stretch shares an address with an earlier one
    // when it starts before the furthest end so far.
    const part_stretch *furthest = nullptr;
    for (std::size_t i = 0; i < stretches->count; ++i) {
        const part_stretch &stretch = items[i];
        if (furthest != nullptr && stretch.address < furthest->address + furthest->size) {
            *first = furthest;
            *second = &stretch;
            *address = stretch.address;
            return true;
        }
        if (furthest == nullptr || stretch.address + stretch.size > furthest->address + furthest->size)
            furthest = &stretch;
    }
    return false;
}

void hand_over(pending_bytes *pending, unsigned char *out, std::size_t room, std::size_t *count)
{
    const std::size_t size = std::min(room - *count, pending->size);
    std::memcpy(out + *count, pending->bytes, size);
    pending->bytes += size;
    pending->size -= size;
    *count += size;
}

bool seek_to(std::FILE *input, std::uint64_t offset)
{
    return offset <= static_cast<std::uint64_t>(LONG_MAX) && std::fseek(input, static_cast<long>(offset), SEEK_SET) == 0;
}

bool read_at(std::FILE *input, std::uint64_t offset, void *bytes, std::size_t count)
{
    return seek_to(input, offset) && std::fread(bytes, 1, count, input) == count;
}

part_fault make_fault(part_verdict verdict, std::uint64_t line, const char *format, ...)
{
    part_fault fault{verdict, line, 0, {}};
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(fault.text, sizeof fault.text, format, arguments);
    va_end(arguments);
    return fault;
}

// Where `head` starts after a UTF-8 byte order mark, which an editor may
// have saved before text; the reader then names it.
std::size_t after_byte_order_mark(const unsigned char *head, std::size_t size)
{
    return size >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF ? 3 : 0;
}

int first_visible(const unsigned char *head, std::size_t size)
{
    for (std::size_t i = after_byte_order_mark(head, size); i < size; ++i)
        if (head[i] != ' ' && head[i] != '\t' && head[i] != '\r' && head[i] != '\n')
            return head[i];
    return -1;
}

bool is_text(const unsigned char *head, std::size_t size)
{
    for (std::size_t i = after_byte_order_mark(head, size); i < size; ++i)
        if ((head[i] < 0x20 || head[i] > 0x7E) && head[i] != '\t' && head[i] != '\r' && head[i] != '\n' && head[i] != 0x1A)
            return false;
    return true;
}

bool first_line(const unsigned char *head, std::size_t size, const char **line, std::size_t *length)
{
    std::size_t start = after_byte_order_mark(head, size);
    for (;;) {
        if (start < size && head[start] == '\n')
            start += 1;
        else if (start + 1 < size && head[start] == '\r' && head[start + 1] == '\n')
            start += 2;
        else
            break;
    }
    std::size_t end = start;
    while (end < size && head[end] != '\n')
        ++end;
    if (end == size && size >= part_head_size)
        return false; // the line goes on past what was read
    if (end == start)
        return false; // no line at all
    *line = reinterpret_cast<const char *>(head + start);
    *length = end - start - (end < size && head[end - 1] == '\r' ? 1 : 0);
    return true;
}

part_fault read_part_file(part_cursor *cursor, const part_reader &reader, std::FILE *input, std::uint64_t size,
                          part_stretches *stretches)
{
    cursor->input = input;
    cursor->reader = nullptr;
    stretches->entry = 0;
    stretches->parameters[0] = '\0';
    const part_fault fault = reader.read(cursor, size, stretches);
    cursor->reader = nullptr; // the stream has moved under whatever it held
    return fault;
}

bool open_stretch(part_cursor *cursor, const part_reader &reader, std::FILE *input, const part_stretch &stretch)
{
    const bool resumed = cursor->reader == &reader && cursor->input == input;
    cursor->input = input;
    cursor->reader = &reader;
    if (reader.open(cursor, stretch, resumed))
        return true;
    cursor->reader = nullptr;
    return false;
}

namespace {

// The bytes of a stretch not yet handed over, straight from the file.
struct file_bytes {
    std::uint64_t left;
};

} // namespace

bool open_file_bytes(part_cursor *cursor, const part_stretch &stretch, bool /*unused*/)
{
    cursor_state<file_bytes>(cursor).left = stretch.size;
    return seek_to(cursor->input, stretch.offset);
}

convert_result take_file_bytes(part_cursor *cursor, unsigned char *out, std::size_t room, std::size_t *taken)
{
    std::uint64_t &left = cursor_state<file_bytes>(cursor).left;
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
    *taken = std::fread(out, 1, count, cursor->input);
    left -= *taken;
    if (std::ferror(cursor->input) != 0)
        return read_failed;
    return *taken < count ? image_changed : converted;
}
