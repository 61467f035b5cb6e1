// The seam onto OpenSSL's libcrypto for signing: a private key read from
// PEM text, its public key in DER, and signatures through the EVP
// interface. Linked into a position-independent program, libcrypto's EVP
// code weighs megabytes whose relocations every start would pay for; so
// libcrypto.so.3 is loaded when a key is first read, and a run without
// --key never touches it. The fully static build links it in, without PIE.
#include "sign.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "library.h"
#include "pem.h"

namespace {

// The library by its soname; a Mac build names the .dylib it was built with.
#ifndef FW2HEX_LIBCRYPTO_NAME
#define FW2HEX_LIBCRYPTO_NAME "libcrypto.so.3"
#endif

// The functions of libcrypto that signing calls, each through this table.
#define FW2HEX_SIGNING_FUNCTIONS(X) \
    X(OPENSSL_init_crypto) \
    X(BIO_new_mem_buf) \
    X(BIO_free) \
    X(PEM_read_bio_PrivateKey) \
    X(EVP_PKEY_free) \
    X(EVP_PKEY_get_bits) \
    X(EVP_PKEY_get_base_id) \
    X(EVP_PKEY_get_group_name) \
    X(EVP_PKEY_get0_type_name) \
    X(i2d_PublicKey) \
    X(i2d_PUBKEY) \
    X(EVP_MD_CTX_new) \
    X(EVP_DigestSignInit) \
    X(EVP_DigestSign) \
    X(EVP_MD_CTX_free) \
    X(EVP_PKEY_CTX_new) \
    X(EVP_PKEY_sign_init) \
    X(EVP_PKEY_CTX_set_signature_md) \
    X(EVP_PKEY_CTX_set_rsa_padding) \
    X(EVP_PKEY_CTX_set_rsa_mgf1_md) \
    X(EVP_PKEY_CTX_set_rsa_pss_saltlen) \
    X(EVP_PKEY_sign) \
    X(EVP_PKEY_CTX_free) \
    X(EVP_sha256)

struct signing_functions {
#define FW2HEX_DECLARE(name) decltype(&::name) name; // NOLINT(bugprone-macro-parentheses): a declaration
    FW2HEX_SIGNING_FUNCTIONS(FW2HEX_DECLARE)
#undef FW2HEX_DECLARE
};
signing_functions library;

// Fills the table, once; false, with the reason in `reason`, when
// libcrypto cannot be loaded.
bool load_library(char *reason, std::size_t size)
{
#ifdef FW2HEX_LIBCRYPTO_LINKED
    // The fully static build, linked without PIE, has libcrypto linked in
    // at addresses fixed at link time: nothing to relocate at start.
#define FW2HEX_DIRECT(name) library.name = &::name;
    FW2HEX_SIGNING_FUNCTIONS(FW2HEX_DIRECT)
#undef FW2HEX_DIRECT
    static_cast<void>(reason);
    static_cast<void>(size);
    return true;
#else
    static bool loaded = false;
    static_assert(sizeof(void *) == sizeof library.EVP_sha256, "a symbol's address fits a function pointer");
    const library_function functions[] = {
#define FW2HEX_ENTRY(name) {#name, static_cast<void *>(&library.name)},
        FW2HEX_SIGNING_FUNCTIONS(FW2HEX_ENTRY)
#undef FW2HEX_ENTRY
    };
    loaded = loaded || load_shared_library(FW2HEX_LIBCRYPTO_NAME, functions, sizeof functions / sizeof functions[0],
                                           reason, size);
    return loaded;
#endif
}

} // namespace

struct signing_key {
    EVP_PKEY *pkey;
    key_kind kind;
};

namespace {

// A password is never read: an encrypted key is told apart before.
int no_password(char * /*buffer*/, int /*size*/, int /*purpose*/, void * /*data*/)
{
    return 0;
}

// The kind of a key OpenSSL read; false, with its type named in `found`,
// for a key MCUboot does not take.
bool kind_of(EVP_PKEY *pkey, key_kind *kind, char *found, std::size_t found_size)
{
    const int bits = library.EVP_PKEY_get_bits(pkey);
    switch (library.EVP_PKEY_get_base_id(pkey)) {
    case EVP_PKEY_ED25519:
        *kind = key_ed25519;
        return true;
    case EVP_PKEY_RSA:
        *kind = bits == 3072 ? key_rsa_3072 : key_rsa_2048;
        std::snprintf(found, found_size, "an RSA-%d key", bits);
        return bits == 2048 || bits == 3072;
    case EVP_PKEY_EC: {
        char curve[64] = "";
        library.EVP_PKEY_get_group_name(pkey, curve, sizeof curve, nullptr);
        *kind = key_ecdsa_p256;
        std::snprintf(found, found_size, "an ECDSA key on the curve %s", curve);
        return std::strcmp(curve, "prime256v1") == 0;
    }
    default:
        std::snprintf(found, found_size, "a %s key", library.EVP_PKEY_get0_type_name(pkey));
        return false;
    }
}

} // namespace

key_verdict load_signing_key(const unsigned char *text, std::size_t size, signing_key **key, char *found,
                             std::size_t found_size)
{
    const key_verdict blocks = tell_pem_blocks(reinterpret_cast<const char *>(text), size, found, found_size);
    if (blocks != key_loaded)
        return blocks;
    if (!load_library(found, found_size))
        return key_library_missing;
    // The key alone decides: no system configuration file is read.
    library.OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    BIO *memory = library.BIO_new_mem_buf(text, static_cast<int>(size));
    EVP_PKEY *pkey = memory != nullptr ? library.PEM_read_bio_PrivateKey(memory, nullptr, no_password, nullptr) : nullptr;
    library.BIO_free(memory);
    if (pkey == nullptr) {
        std::snprintf(found, found_size, "a private key block that is not a key");
        return key_not_a_key;
    }
    key_kind kind = key_ed25519;
    if (!kind_of(pkey, &kind, found, found_size)) {
        library.EVP_PKEY_free(pkey);
        return key_unsupported;
    }
    auto *loaded = static_cast<signing_key *>(std::malloc(sizeof(signing_key)));
    if (loaded == nullptr) {
        library.EVP_PKEY_free(pkey);
        std::snprintf(found, found_size, "a key, and there is no memory for it");
        return key_not_a_key;
    }
    *loaded = {pkey, kind};
    // A key whose public key cannot be encoded could not be checked by MCUboot.
    unsigned char public_key[public_key_room];
    if (signing_key_public(*loaded, public_key) == 0) {
        free_signing_key(loaded);
        std::snprintf(found, found_size, "a key whose public key cannot be encoded");
        return key_not_a_key;
    }
    *key = loaded;
    return key_loaded;
}

const char *signing_library_name()
{
    return "OpenSSL's " FW2HEX_LIBCRYPTO_NAME;
}

const char *signing_library_remedy()
{
#ifdef __APPLE__
    return "install it (brew install openssl@3)";
#else
    return "install it (Debian and Ubuntu: apt install libssl3)";
#endif
}

key_kind signing_key_kind(const signing_key &key)
{
    return key.kind;
}

void free_signing_key(signing_key *key)
{
    if (key != nullptr)
        library.EVP_PKEY_free(key->pkey);
    std::free(key);
}

std::size_t signing_key_public(const signing_key &key, unsigned char out[public_key_room])
{
    const bool rsa = key.kind == key_rsa_2048 || key.kind == key_rsa_3072;
    const int size = rsa ? library.i2d_PublicKey(key.pkey, nullptr) : library.i2d_PUBKEY(key.pkey, nullptr);
    if (size <= 0 || static_cast<std::size_t>(size) > public_key_room)
        return 0;
    unsigned char *at = out;
    return static_cast<std::size_t>(rsa ? library.i2d_PublicKey(key.pkey, &at) : library.i2d_PUBKEY(key.pkey, &at));
}

namespace {

// Ed25519 over the digest itself, as imgtool signs with it.
bool sign_ed25519(EVP_PKEY *pkey, const unsigned char *digest, unsigned char *signature)
{
    EVP_MD_CTX *context = library.EVP_MD_CTX_new();
    std::size_t size = signature_room;
    const bool signed_ok = context != nullptr && library.EVP_DigestSignInit(context, nullptr, nullptr, nullptr, pkey) == 1 &&
                           library.EVP_DigestSign(context, signature, &size, digest, sha256_size) == 1 && size == 64;
    library.EVP_MD_CTX_free(context);
    return signed_ok;
}

// ECDSA or RSA-PSS over a SHA-256 digest; its size.
std::size_t sign_prehashed(EVP_PKEY *pkey, bool rsa, const unsigned char *digest, unsigned char *signature)
{
    EVP_PKEY_CTX *context = library.EVP_PKEY_CTX_new(pkey, nullptr);
    std::size_t size = signature_room;
    bool signed_ok = context != nullptr && library.EVP_PKEY_sign_init(context) == 1 &&
                     library.EVP_PKEY_CTX_set_signature_md(context, library.EVP_sha256()) == 1;
    if (signed_ok && rsa)
        signed_ok = library.EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) == 1 &&
                    library.EVP_PKEY_CTX_set_rsa_mgf1_md(context, library.EVP_sha256()) == 1 &&
                    library.EVP_PKEY_CTX_set_rsa_pss_saltlen(context, 32) == 1;
    signed_ok = signed_ok && library.EVP_PKEY_sign(context, signature, &size, digest, sha256_size) == 1;
    library.EVP_PKEY_CTX_free(context);
    return signed_ok ? size : 0;
}

} // namespace

std::size_t sign_once(const signing_key &key, const unsigned char digest[sha256_size],
                      unsigned char signature[signature_room])
{
    if (key.kind == key_ed25519)
        return sign_ed25519(key.pkey, digest, signature) ? 64 : 0;
    return sign_prehashed(key.pkey, key.kind != key_ecdsa_p256, digest, signature);
}
