// The signing seam in a build that does not sign: without libcrypto, or
// fully static, where libcrypto's signing code would cost every start its
// relocations. --key is refused.
#include "sign.h"

key_verdict load_signing_key(const unsigned char * /*text*/, std::size_t /*size*/, signing_key ** /*key*/,
                             char * /*found*/, std::size_t /*found_size*/)
{
    return key_no_library;
}

// Never called: no library is ever loaded, nor a key.
const char *signing_library_name()
{
    return "";
}

const char *signing_library_remedy()
{
    return "";
}


key_kind signing_key_kind(const signing_key & /*key*/)
{
    return key_ed25519;
}

void free_signing_key(signing_key * /*key*/) {}

std::size_t signing_key_public(const signing_key & /*key*/, unsigned char * /*out*/)
{
    return 0;
}

std::size_t sign_once(const signing_key & /*key*/, const unsigned char * /*digest*/, unsigned char * /*signature*/)
{
    return 0;
}
