// Private keys in DER, the bodies of the PEM blocks imgtool and OpenSSL
// write, read for a library that takes a key's numbers and not its files;
// and the DER encodings MCUboot checks: public keys, ECDSA signatures.
#ifndef FW2HEX_DER_KEY_H
#define FW2HEX_DER_KEY_H

#include <cstddef>

#include "sign.h"

// Bytes inside the DER text: an INTEGER's value (big-endian, without the
// leading zero bytes) or an OCTET STRING's content.
struct der_span {
    const unsigned char *data;
    std::size_t size;
};

struct der_private_key {
    key_kind kind;
    der_span secret;             // ECDSA: the scalar d; Ed25519: the 32-byte seed
    der_span n, e, d, p, q, qinv; // RSA, as PKCS#1 holds them
};

// Reads the DER body of a PEM block labelled `label`: "PRIVATE KEY"
// (PKCS#8), "EC PRIVATE KEY" (SEC1), "RSA PRIVATE KEY" (PKCS#1). A key of
// another type gives key_unsupported and a malformed one key_not_a_key,
// `found` naming what it is.
key_verdict read_der_private_key(const char *label, const unsigned char *der, std::size_t size,
                                 der_private_key *key, char *found, std::size_t found_size);

// The public keys as MCUboot embeds them: PKCS#1 RSAPublicKey for RSA,
// SubjectPublicKeyInfo for ECDSA P-256 (from the 65-byte uncompressed
// point) and Ed25519 (from its 32 bytes). Each gives its size, or 0 when
// `room` is too small.
std::size_t der_rsa_public_key(der_span n, der_span e, unsigned char *out, std::size_t room);
std::size_t der_p256_public_key(const unsigned char point[65], unsigned char *out, std::size_t room);
std::size_t der_ed25519_public_key(const unsigned char key[32], unsigned char *out, std::size_t room);

// An ECDSA signature (r, s; 32 bytes each, big-endian) as DER: 70 to 72
// bytes, as r and s need a leading zero byte or not.
std::size_t der_ecdsa_signature(const unsigned char r[32], const unsigned char s[32], unsigned char *out,
                                 std::size_t room);

#endif
