// The seam onto libgcrypt for signing, where OpenSSL's libcrypto is not to
// be had (Windows). libgcrypt reads no key files: der_key.cpp reads the
// key's numbers from its PEM text, libgcrypt takes them as S-expressions,
// computes the public key and signs. The library (libgcrypt-20.dll beside
// fw2hex.exe, libgcrypt.so.20 elsewhere) is loaded when a key is first
// read, so a run without --key never touches it.
#include "sign.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gcrypt.h>
#include <initializer_list>

#include "der_key.h"
#include "library.h"
#include "pem.h"

namespace {

#ifdef _WIN32
const char library_name[] = "libgcrypt-20.dll";
const char library_remedy[] = "keep it and libgpg-error-0.dll beside fw2hex.exe, as the release's zip has them";
#else
const char library_name[] = "libgcrypt.so.20";
const char library_remedy[] = "install it (Debian and Ubuntu: apt install libgcrypt20)";
#endif

// The functions of libgcrypt that signing calls, each through this table.
#define FW2HEX_GCRYPT_FUNCTIONS(X) \
    X(gcry_check_version) \
    X(gcry_control) \
    X(gcry_set_log_handler) \
    X(gcry_sexp_build) \
    X(gcry_sexp_release) \
    X(gcry_sexp_find_token) \
    X(gcry_sexp_nth_mpi) \
    X(gcry_sexp_nth_data) \
    X(gcry_pk_sign) \
    X(gcry_pk_testkey) \
    X(gcry_mpi_ec_new) \
    X(gcry_mpi_ec_get_mpi) \
    X(gcry_ctx_release) \
    X(gcry_mpi_scan) \
    X(gcry_mpi_print) \
    X(gcry_mpi_new) \
    X(gcry_mpi_release) \
    X(gcry_mpi_get_flag) \
    X(gcry_mpi_get_opaque) \
    X(gcry_mpi_cmp) \
    X(gcry_mpi_invm)

struct gcrypt_functions {
#define FW2HEX_DECLARE(name) decltype(&::name) name; // NOLINT(bugprone-macro-parentheses): a declaration
    FW2HEX_GCRYPT_FUNCTIONS(FW2HEX_DECLARE)
#undef FW2HEX_DECLARE
};
gcrypt_functions library;

// libgcrypt's notes (on Windows, that the disk statistics it gathers
// entropy from are off) are not fw2hex's to print; its failures reach
// fw2hex as results.
void no_log(void * /*opaque*/, int /*level*/, const char * /*format*/, va_list /*arguments*/) {}

// Fills the table and starts libgcrypt, once; false, with the reason in
// `reason`, when it cannot be loaded or is too old.
bool load_library(char *reason, std::size_t size)
{
    static bool loaded = false;
    if (loaded)
        return true;
    static_assert(sizeof(void *) == sizeof library.gcry_control, "a symbol's address fits a function pointer");
    const library_function functions[] = {
#define FW2HEX_ENTRY(name) {#name, static_cast<void *>(&library.name)},
        FW2HEX_GCRYPT_FUNCTIONS(FW2HEX_ENTRY)
#undef FW2HEX_ENTRY
    };
    if (!load_shared_library(library_name, functions, sizeof functions / sizeof functions[0], reason, size))
        return false;
    if (library.gcry_check_version("1.8.0") == nullptr) {
        std::snprintf(reason, size, "%s is older than 1.8.0", library_name);
        return false;
    }
    library.gcry_set_log_handler(no_log, nullptr);
    // Keys are read from a file anyway: no locked memory, nor its warnings.
    library.gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    library.gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    loaded = true;
    return true;
}

// A number's bytes, big-endian and left-padded to exactly `size`; false
// when it needs more.
bool mpi_bytes(gcry_mpi_t number, unsigned char *out, std::size_t size)
{
    if (number == nullptr)
        return false;
    if (library.gcry_mpi_get_flag(number, GCRYMPI_FLAG_OPAQUE) != 0) {
        unsigned bits = 0;
        const void *bytes = library.gcry_mpi_get_opaque(number, &bits);
        const std::size_t count = (bits + 7) / 8;
        if (bytes == nullptr || count > size)
            return false;
        std::memset(out, 0, size - count);
        std::memcpy(out + size - count, bytes, count);
        return true;
    }
    std::size_t count = 0;
    if (library.gcry_mpi_print(GCRYMPI_FMT_USG, out, size, &count, number) != 0 || count > size)
        return false;
    std::memmove(out + size - count, out, count);
    std::memset(out, 0, size - count);
    return true;
}

gcry_mpi_t to_mpi(der_span value)
{
    gcry_mpi_t number = nullptr;
    if (library.gcry_mpi_scan(&number, GCRYMPI_FMT_USG, value.data, value.size, nullptr) != 0)
        return nullptr;
    return number;
}

// The number after `name` in a result such as (sig-val (rsa (s ...))).
gcry_mpi_t find_mpi(gcry_sexp_t list, const char *name)
{
    gcry_sexp_t token = library.gcry_sexp_find_token(list, name, 0);
    gcry_mpi_t number = token != nullptr ? library.gcry_sexp_nth_mpi(token, 1, GCRYMPI_FMT_USG) : nullptr;
    library.gcry_sexp_release(token);
    return number;
}

// The raw bytes after `name` (Ed25519's R and S), exactly `size` of them.
bool find_bytes(gcry_sexp_t list, const char *name, unsigned char *out, std::size_t size)
{
    gcry_sexp_t token = library.gcry_sexp_find_token(list, name, 0);
    std::size_t count = 0;
    const char *bytes = token != nullptr ? library.gcry_sexp_nth_data(token, 1, &count) : nullptr;
    const bool found = bytes != nullptr && count == size;
    if (found)
        std::memcpy(out, bytes, size);
    library.gcry_sexp_release(token);
    return found;
}

} // namespace

// Each build links one library's seam, and with it one signing_key.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct signing_key {
    key_kind kind;
    gcry_sexp_t secret; // (private-key ...), as libgcrypt signs with it
    std::size_t public_size;
    unsigned char public_key[public_key_room];
};

namespace {

// Ed25519 or ECDSA P-256 from its secret: libgcrypt computes the public
// point, which the key libgcrypt signs with holds beside the secret.
bool load_ecc(const der_private_key &parts, signing_key *key)
{
    const bool ed25519 = parts.kind == key_ed25519;
    const char *curve = ed25519 ? "(curve Ed25519) (flags eddsa)" : "(curve \"NIST P-256\")";
    char form[96];
    std::snprintf(form, sizeof form, "(private-key (ecc %s (d %%b)))", curve);
    gcry_sexp_t secret_only = nullptr;
    gcry_ctx_t context = nullptr;
    if (library.gcry_sexp_build(&secret_only, nullptr, form, static_cast<int>(parts.secret.size),
                                parts.secret.data) != 0)
        return false;
    const bool made = library.gcry_mpi_ec_new(&context, secret_only, nullptr) == 0;
    library.gcry_sexp_release(secret_only);
    if (!made)
        return false;
    gcry_mpi_t point = library.gcry_mpi_ec_get_mpi(ed25519 ? "q@eddsa" : "q", context, 1);
    library.gcry_ctx_release(context);
    unsigned char bytes[65];
    const std::size_t size = ed25519 ? 32 : 65;
    const bool encoded = mpi_bytes(point, bytes, size) && (ed25519 || bytes[0] == 0x04);
    library.gcry_mpi_release(point);
    if (!encoded)
        return false;
    key->public_size = ed25519 ? der_ed25519_public_key(bytes, key->public_key, public_key_room)
                               : der_p256_public_key(bytes, key->public_key, public_key_room);
    std::snprintf(form, sizeof form, "(private-key (ecc %s (q %%b) (d %%b)))", curve);
    return library.gcry_sexp_build(&key->secret, nullptr, form, static_cast<int>(size), bytes,
                                   static_cast<int>(parts.secret.size), parts.secret.data) == 0;
}

// RSA from PKCS#1's numbers. libgcrypt wants p < q and u = p⁻¹ mod q, where
// PKCS#1 gives qinv = q⁻¹ mod p: the primes are put in its order and u
// computed; libgcrypt then checks that the numbers make one key.
bool load_rsa(const der_private_key &parts, signing_key *key)
{
    gcry_mpi_t n = to_mpi(parts.n);
    gcry_mpi_t e = to_mpi(parts.e);
    gcry_mpi_t d = to_mpi(parts.d);
    gcry_mpi_t p = to_mpi(parts.p);
    gcry_mpi_t q = to_mpi(parts.q);
    gcry_mpi_t u = library.gcry_mpi_new(0);
    bool loaded = n != nullptr && e != nullptr && d != nullptr && p != nullptr && q != nullptr && u != nullptr;
    if (loaded && library.gcry_mpi_cmp(p, q) > 0) {
        gcry_mpi_t larger = p;
        p = q;
        q = larger;
    }
    loaded = loaded && library.gcry_mpi_invm(u, p, q) != 0 &&
             library.gcry_sexp_build(&key->secret, nullptr, "(private-key (rsa (n %m) (e %m) (d %m) (p %m) (q %m) (u %m)))",
                                     n, e, d, p, q, u) == 0 &&
             library.gcry_pk_testkey(key->secret) == 0;
    for (gcry_mpi_t number : {n, e, d, p, q, u})
        library.gcry_mpi_release(number);
    key->public_size = loaded ? der_rsa_public_key(parts.n, parts.e, key->public_key, public_key_room) : 0;
    return loaded;
}

// The first block that holds a private key, decoded into `der`; its size.
std::size_t private_key_der(const char *text, std::size_t size, pem_block *block, unsigned char *der,
                            std::size_t room)
{
    static const char suffix[] = "PRIVATE KEY";
    const char *end = text + size;
    for (const char *at = text; next_pem_block(&at, end, block);) {
        const std::size_t label_size = std::strlen(block->label);
        if (label_size >= sizeof suffix - 1 && std::strcmp(block->label + label_size - (sizeof suffix - 1), suffix) == 0)
            return decode_pem_body(*block, der, room);
    }
    return 0;
}

} // namespace

key_verdict load_signing_key(const unsigned char *text, std::size_t size, signing_key **key, char *found,
                             std::size_t found_size)
{
    const char *pem = reinterpret_cast<const char *>(text);
    const key_verdict blocks = tell_pem_blocks(pem, size, found, found_size);
    if (blocks != key_loaded)
        return blocks;
    // The longest key MCUboot takes is RSA-3072's 1.8 KiB of DER; this
    // leaves room to name much longer ones.
    unsigned char der[16 * 1024];
    pem_block block{};
    const std::size_t der_size = private_key_der(pem, size, &block, der, sizeof der);
    der_private_key parts{};
    const key_verdict read = read_der_private_key(block.label, der, der_size, &parts, found, found_size);
    if (read != key_loaded)
        return read;
    if (!load_library(found, found_size))
        return key_library_missing;
    auto *loaded = static_cast<signing_key *>(std::calloc(1, sizeof(signing_key)));
    if (loaded == nullptr) {
        std::snprintf(found, found_size, "a key, and there is no memory for it");
        return key_not_a_key;
    }
    loaded->kind = parts.kind;
    const bool rsa = parts.kind == key_rsa_2048 || parts.kind == key_rsa_3072;
    if (!(rsa ? load_rsa(parts, loaded) : load_ecc(parts, loaded)) || loaded->public_size == 0) {
        free_signing_key(loaded);
        std::snprintf(found, found_size, "%s whose numbers do not make a key",
                      rsa ? "an RSA private key" : parts.kind == key_ed25519 ? "an Ed25519 private key"
                                                                              : "an ECDSA private key");
        return key_not_a_key;
    }
    *key = loaded;
    return key_loaded;
}

const char *signing_library_name()
{
    return library_name;
}

const char *signing_library_remedy()
{
    return library_remedy;
}

key_kind signing_key_kind(const signing_key &key)
{
    return key.kind;
}

void free_signing_key(signing_key *key)
{
    if (key != nullptr && key->secret != nullptr)
        library.gcry_sexp_release(key->secret);
    std::free(key);
}

std::size_t signing_key_public(const signing_key &key, unsigned char out[public_key_room])
{
    std::memcpy(out, key.public_key, key.public_size);
    return key.public_size;
}

namespace {

// Signs the data S-expression built from `form`, the digest and `number`
// (where the form asks for one); the library's (sig-val ...), or null.
gcry_sexp_t sign_with(const signing_key &key, const char *form, const unsigned char *digest, unsigned number = 0)
{
    gcry_sexp_t data = nullptr;
    gcry_sexp_t result = nullptr;
    if (library.gcry_sexp_build(&data, nullptr, form, static_cast<int>(sha256_size), digest, number) != 0)
        return nullptr;
    if (library.gcry_pk_sign(&result, data, key.secret) != 0)
        result = nullptr;
    library.gcry_sexp_release(data);
    return result;
}

// ECDSA over the digest with a fresh random nonce; the DER signature's size.
std::size_t sign_ecdsa(const signing_key &key, const unsigned char *digest, unsigned char *signature)
{
    gcry_sexp_t result = sign_with(key, "(data (flags raw) (value %b))", digest);
    if (result == nullptr)
        return 0;
    unsigned char r[32];
    unsigned char s[32];
    gcry_mpi_t r_number = find_mpi(result, "r");
    gcry_mpi_t s_number = find_mpi(result, "s");
    const bool found = mpi_bytes(r_number, r, sizeof r) && mpi_bytes(s_number, s, sizeof s);
    library.gcry_mpi_release(r_number);
    library.gcry_mpi_release(s_number);
    library.gcry_sexp_release(result);
    return found ? der_ecdsa_signature(r, s, signature, signature_room) : 0;
}

} // namespace

std::size_t sign_once(const signing_key &key, const unsigned char digest[sha256_size],
                      unsigned char signature[signature_room])
{
    gcry_sexp_t result = nullptr;
    std::size_t size = 0;
    switch (key.kind) {
    case key_ed25519:
        // Ed25519 over the digest itself, as imgtool signs with it.
        result = sign_with(key, "(data (flags eddsa) (hash-algo sha512) (value %b))", digest);
        if (result != nullptr && find_bytes(result, "r", signature, 32) && find_bytes(result, "s", signature + 32, 32))
            size = 64;
        break;
    case key_rsa_2048:
    case key_rsa_3072: {
        result = sign_with(key, "(data (flags pss) (hash sha256 %b) (salt-length %u))", digest, 32);
        gcry_mpi_t s = result != nullptr ? find_mpi(result, "s") : nullptr;
        if (mpi_bytes(s, signature, signature_size(key.kind)))
            size = signature_size(key.kind);
        library.gcry_mpi_release(s);
        break;
    }
    case key_ecdsa_p256:
        size = sign_ecdsa(key, digest, signature);
        break;
    }
    library.gcry_sexp_release(result);
    return size;
}
