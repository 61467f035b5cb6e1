// The seam in a build that links no crypto library: the built-in SHA-256.
#include "hash.h"

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
