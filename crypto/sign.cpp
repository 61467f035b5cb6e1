// What signing is the same whatever library signs.
#include "sign.h"

std::size_t signature_size(key_kind kind)
{
    switch (kind) {
    case key_ecdsa_p256:
        return 72;
    case key_ed25519:
        return 64;
    case key_rsa_2048:
        return 256;
    case key_rsa_3072:
        return 384;
    }
    return 0;
}

bool sign_digest(const signing_key &key, const unsigned char digest[sha256_size],
                 unsigned char signature[signature_room])
{
    const key_kind kind = signing_key_kind(key);
    // An ECDSA signature in DER is 70 to 72 bytes, as r and s need a leading
    // zero byte or not; each signature is new, so one of 72 comes within a
    // few tries (each a quarter's chance), and the TLV area keeps the size
    // the layout gave it.
    const int attempts = kind == key_ecdsa_p256 ? 200 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt)
        if (sign_once(key, digest, signature) == signature_size(kind))
            return true;
    return false;
}
