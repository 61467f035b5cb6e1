// Fuzz target: any bytes as the text of --key. The reader must not crash
// or read past the text; a key it loads must give its public key and sign
// a digest with a signature of its kind's size, and what it refuses it
// must refuse with a reason.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/sign.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A copy of exactly `size` bytes, so that reading past it shows.
    const std::vector<unsigned char> text(data, data + size);
    char found[96];
    std::memset(found, '#', sizeof found);
    signing_key *key = nullptr;
    const key_verdict verdict = load_signing_key(text.data(), text.size(), &key, found, sizeof found);
    if (verdict != key_loaded && (std::memchr(found, '\0', sizeof found) == nullptr || found[0] == '\0') &&
        verdict != key_is_public && verdict != key_encrypted && verdict != key_no_library) {
        std::fprintf(stderr, "load_signing_key: refused (%d) without a reason\n", static_cast<int>(verdict));
        std::abort();
    }
    if (verdict != key_loaded)
        return 0;
    unsigned char public_key[public_key_room];
    const unsigned char digest[sha256_size] = {1, 2, 3};
    unsigned char signature[signature_room];
    if (signing_key_public(*key, public_key) == 0) {
        std::fprintf(stderr, "load_signing_key: a loaded key that gives no public key\n");
        std::abort();
    }
    // A key the library loads may still fail to sign (parameters it
    // refuses): the walk reports that as a failure, so only crashes count.
    static_cast<void>(sign_digest(*key, digest, signature));
    free_signing_key(key);
    return 0;
}
