#include "pem.h"

#include <cstdio>
#include <cstring>

namespace {

bool ends_with(const char *text, const char *end)
{
    const std::size_t size = std::strlen(text);
    const std::size_t end_size = std::strlen(end);
    return size >= end_size && std::strcmp(text + size - end_size, end) == 0;
}

// The value of a base64 character, or -1.
int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Where `text` (a string) starts between `from` and `end`, or `end`.
const char *find(const char *from, const char *end, const char *text)
{
    const std::size_t size = std::strlen(text);
    for (; static_cast<std::size_t>(end - from) >= size; ++from)
        if (std::memcmp(from, text, size) == 0)
            return from;
    return end;
}

} // namespace

bool next_pem_block(const char **at, const char *end, pem_block *block)
{
    static const char begin[] = "-----BEGIN ";
    static const char finish[] = "-----END ";
    const std::ptrdiff_t begin_size = sizeof begin - 1;
    for (const char *from = *at; end - from >= begin_size; ++from) {
        if (std::memcmp(from, begin, sizeof begin - 1) != 0)
            continue;
        const char *name = from + begin_size;
        const char *close = name;
        const std::ptrdiff_t room = sizeof block->label - 1;
        while (close < end && *close != '-' && *close != '\n' && close - name < room)
            ++close;
        if (close >= end || *close != '-')
            continue;
        std::memcpy(block->label, name, static_cast<std::size_t>(close - name));
        block->label[close - name] = '\0';
        while (close < end && *close == '-')
            ++close;
        block->body = close;
        block->body_end = find(close, end, finish);
        *at = block->body_end;
        return true;
    }
    *at = end;
    return false;
}

key_verdict tell_pem_blocks(const char *text, std::size_t size, char *found, std::size_t found_size)
{
    const char *end = text + size;
    bool private_key = false;
    bool public_key = false;
    bool encrypted = false;
    std::snprintf(found, found_size, "no PEM block");
    bool first = true;
    pem_block block;
    for (const char *at = text; next_pem_block(&at, end, &block);) {
        if (first)
            std::snprintf(found, found_size, "a PEM block '%s'", block.label);
        first = false;
        if (ends_with(block.label, "PRIVATE KEY")) {
            // PKCS#8's encrypted form, or the legacy one's header line.
            static const char legacy[] = "Proc-Type: 4,ENCRYPTED";
            const char *body = block.body;
            while (body < block.body_end && (*body == '\r' || *body == '\n'))
                ++body;
            private_key = true;
            encrypted = encrypted || std::strcmp(block.label, "ENCRYPTED PRIVATE KEY") == 0 ||
                        (block.body_end - body >= static_cast<std::ptrdiff_t>(sizeof legacy - 1) &&
                         std::memcmp(body, legacy, sizeof legacy - 1) == 0);
        }
        public_key = public_key || ends_with(block.label, "PUBLIC KEY");
    }
    if (encrypted)
        return key_encrypted;
    if (private_key)
        return key_loaded;
    return public_key ? key_is_public : key_not_a_key;
}

std::size_t decode_pem_body(const pem_block &block, unsigned char *out, std::size_t room)
{
    std::size_t size = 0;
    unsigned bits = 0;     // the bits gathered, not yet a whole byte
    int gathered = 0;      // how many
    int padding = 0;       // '=' seen: only more of them and white space may follow
    for (const char *at = block.body; at < block.body_end; ++at) {
        const char c = *at;
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = base64_value(c);
        if (value < 0 || padding > 0)
            return 0;
        bits = (bits << 6) | static_cast<unsigned>(value);
        gathered += 6;
        if (gathered >= 8) {
            gathered -= 8;
            if (size == room)
                return 0;
            out[size++] = static_cast<unsigned char>(bits >> gathered);
            bits &= (1u << gathered) - 1;
        }
    }
    // The bits left over pad the last group and must be zero; two '=' at most.
    if (padding > 2 || bits != 0)
        return 0;
    return size;
}
