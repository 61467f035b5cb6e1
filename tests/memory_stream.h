// C streams over memory, for handing images to convert_image without files
// (fopencookie on glibc, funopen on the BSDs and macOS):
// reads come from `source`, writes collect in `written`, and both fail once
// `limit` bytes have passed, as a disk or a pipe can fail midway; a stream
// that `recovers` takes writes again after the first failed one.
#ifndef FW2HEX_MEMORY_STREAM_H
#define FW2HEX_MEMORY_STREAM_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct memory_stream {
    const std::vector<std::uint8_t> *source; // null for an output
    std::size_t limit = SIZE_MAX;
    std::size_t passed = 0;
    std::string written;
    bool recovers = false;

#if defined(__GLIBC__)
    std::FILE *open_for_reading() { return fopencookie(this, "rb", {read, nullptr, nullptr, nullptr}); }
    std::FILE *open_for_writing() { return fopencookie(this, "w", {nullptr, write, nullptr, nullptr}); }
#else
    // The BSD twin (macOS), whose functions count in int.
    std::FILE *open_for_reading() { return funopen(this, read_bsd, nullptr, nullptr, nullptr); }
    std::FILE *open_for_writing() { return funopen(this, nullptr, write_bsd, nullptr, nullptr); }
    static int read_bsd(void *cookie, char *buffer, int size)
    {
        return static_cast<int>(read(cookie, buffer, static_cast<std::size_t>(size)));
    }
    static int write_bsd(void *cookie, const char *buffer, int size)
    {
        return static_cast<int>(write(cookie, buffer, static_cast<std::size_t>(size)));
    }
#endif

private:
    std::size_t room() const { return limit - std::min(limit, passed); }

    static ssize_t read(void *cookie, char *buffer, std::size_t size)
    {
        auto *stream = static_cast<memory_stream *>(cookie);
        const std::size_t left = stream->source->size() - stream->passed;
        if (left > 0 && stream->room() == 0)
            return -1;
        const std::size_t count = std::min({size, left, stream->room()});
        std::copy_n(stream->source->data() + stream->passed, count, buffer);
        stream->passed += count;
        return static_cast<ssize_t>(count);
    }

    static ssize_t write(void *cookie, const char *buffer, std::size_t size)
    {
        auto *stream = static_cast<memory_stream *>(cookie);
        const std::size_t count = std::min(size, stream->room());
        if (count == 0) {
            if (stream->recovers)
                stream->limit = SIZE_MAX;
            return 0; // a write error; a negative value is not allowed here
        }
        stream->written.append(buffer, count);
        stream->passed += count;
        return static_cast<ssize_t>(count);
    }
};

#endif
