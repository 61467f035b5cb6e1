// The crypto seam: everything fw2hex asks of cryptography goes through
// here, onto OpenSSL's libcrypto where the build links it, else onto the
// small SHA-256 of sha256.cpp. Nothing outside crypto/ sees a library's API.
#ifndef FW2HEX_HASH_H
#define FW2HEX_HASH_H

#include <cstddef>
#include <cstdint>

constexpr std::size_t sha256_size = 32;

// A SHA-256 being computed over bytes that arrive in pieces of any size.
// Its insides are the backend's: libcrypto's context, or the built-in one's
// chaining value, count and partial block.
struct sha256_state {
    alignas(8) unsigned char opaque[128];
};

void sha256_start(sha256_state *state);
void sha256_feed(sha256_state *state, const unsigned char *bytes, std::size_t count);
void sha256_finish(sha256_state *state, unsigned char digest[sha256_size]);


// The built-in SHA-256 (FIPS 180-4), which a build without libcrypto
// hashes with; the tests run it whatever the build links.
struct sha256_builtin {
    std::uint32_t chain[8];
    std::uint64_t length;       // bytes fed so far
    unsigned char block[64];    // the block being filled
};
void sha256_builtin_start(sha256_builtin *state);
void sha256_builtin_feed(sha256_builtin *state, const unsigned char *bytes, std::size_t count);
void sha256_builtin_finish(sha256_builtin *state, unsigned char digest[sha256_size]);

#endif
