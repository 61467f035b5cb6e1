// The seam onto OpenSSL's libcrypto: its SHA-256, which uses the
// processor's SHA instructions where it has them. The one-call SHA256_*
// functions need none of the provider machinery the EVP interface loads
// at first use, and linked statically they are a few KiB: a run that only
// hashes starts as fast as one that does not. Signing is openssl_sign.cpp's.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "hash.h"

#include <openssl/sha.h>

static_assert(sizeof(SHA256_CTX) <= sizeof(sha256_state::opaque), "room for libcrypto's SHA-256 context");
static_assert(alignof(SHA256_CTX) <= alignof(sha256_state), "libcrypto's SHA-256 context aligned");

namespace {

SHA256_CTX *context(sha256_state *state)
{
    return reinterpret_cast<SHA256_CTX *>(state->opaque);
}

} // namespace

void sha256_start(sha256_state *state)
{
    SHA256_Init(context(state));
}

void sha256_feed(sha256_state *state, const unsigned char *bytes, std::size_t count)
{
    SHA256_Update(context(state), bytes, count);
}

void sha256_finish(sha256_state *state, unsigned char digest[sha256_size])
{
    SHA256_Final(digest, context(state));
}
