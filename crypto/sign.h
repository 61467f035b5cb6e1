// Signing through the crypto seam: a private key read from the PEM text
// users already have (imgtool's and OpenSSL's), its public key as MCUboot
// embeds it, and a signature over an image's SHA-256. Nothing outside
// crypto/ sees the library's types.
#ifndef FW2HEX_SIGN_H
#define FW2HEX_SIGN_H

#include <cstddef>

#include "hash.h"

// The keys MCUboot checks images with.
enum key_kind { key_ecdsa_p256, key_ed25519, key_rsa_2048, key_rsa_3072 };

enum key_verdict {
    key_loaded,
    key_not_a_key,   // no PEM private key in the text; `found` says what is there
    key_is_public,   // a public key only
    key_unsupported, // a private key of another type, which `found` names
    key_encrypted,   // a private key under a password
    key_no_library,  // this build links no library that signs
    key_library_missing // the library cannot be loaded; `found` says why
};

struct signing_key;

// Reads the private key in the `size` bytes of PEM text at `text`; with
// key_loaded, `*key` holds it for the rest of the process. `found` (room
// for `found_size` characters) names what the text holds otherwise.
key_verdict load_signing_key(const unsigned char *text, std::size_t size, signing_key **key, char *found,
                             std::size_t found_size);
key_kind signing_key_kind(const signing_key &key);
// The library that signs, as a message names it ("OpenSSL's
// libcrypto.so.3"), and how a user gets it, for key_library_missing.
const char *signing_library_name();
const char *signing_library_remedy();
// Lets go of a key that load_signing_key gave.
void free_signing_key(signing_key *key);

// The largest public key MCUboot embeds: RSA-3072's.
constexpr std::size_t public_key_room = 512;
// The public key as MCUboot embeds it and imgtool hashes it: DER
// SubjectPublicKeyInfo for ECDSA and Ed25519, DER PKCS#1 for RSA; its size.
std::size_t signing_key_public(const signing_key &key, unsigned char out[public_key_room]);

// The size of a signature of `kind`: ECDSA's DER is always made 72 bytes,
// so that the TLV area's size is known when the image is laid out.
std::size_t signature_size(key_kind kind);
constexpr std::size_t signature_room = 384;
// Signs an image's SHA-256 as imgtool does: ECDSA P-256 with SHA-256 (DER),
// Ed25519 over the digest itself, RSA-PSS with SHA-256, MGF1 and a 32-byte
// salt; false when the library fails.
bool sign_digest(const signing_key &key, const unsigned char digest[sha256_size],
                 unsigned char signature[signature_room]);

// One signature from the backend, as sign_digest describes it; its size,
// or 0 when the library fails. sign_digest asks again for an ECDSA
// signature of the wrong size.
std::size_t sign_once(const signing_key &key, const unsigned char digest[sha256_size],
                      unsigned char signature[signature_room]);

#endif
