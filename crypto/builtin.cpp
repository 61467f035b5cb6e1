// The seam in a build that links no crypto library: the built-in SHA-256,
// and no signing.
#include "hash.h"
#include "sign.h"

#include <new>

static_assert(sizeof(sha256_builtin) <= sizeof(sha256_state::opaque), "room for the built-in SHA-256");

namespace {

sha256_builtin *context(sha256_state *state)
{
    return reinterpret_cast<sha256_builtin *>(state->opaque);
}

} // namespace

void sha256_start(sha256_state *state)
{
    sha256_builtin_start(new (state->opaque) sha256_builtin);
}

void sha256_feed(sha256_state *state, const unsigned char *bytes, std::size_t count)
{
    sha256_builtin_feed(context(state), bytes, count);
}

void sha256_finish(sha256_state *state, unsigned char digest[sha256_size])
{
    sha256_builtin_finish(context(state), digest);
}

key_verdict load_signing_key(const unsigned char * /*text*/, std::size_t /*size*/, signing_key ** /*key*/,
                             char * /*found*/, std::size_t /*found_size*/)
{
    return key_no_library;
}

// Never called: no key is ever loaded.
key_kind signing_key_kind(const signing_key & /*key*/)
{
    return key_ed25519;
}

void free_signing_key(signing_key * /*key*/) {}

std::size_t signing_key_public(const signing_key & /*key*/, unsigned char * /*out*/)
{
    return 0;
}

std::size_t signature_size(key_kind /*kind*/)
{
    return 0;
}

bool sign_digest(const signing_key & /*key*/, const unsigned char * /*digest*/, unsigned char * /*signature*/)
{
    return false;
}
