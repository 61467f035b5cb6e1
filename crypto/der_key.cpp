// DER (X.690) as private keys use it: each value a tag byte, a length (one
// byte below 0x80, else 0x80 + the count of big-endian length bytes that
// follow) and that many bytes of content; a SEQUENCE's content is its
// values in turn. Every length is checked against what holds it before
// anything is read. The structures read:
//   PKCS#8 PrivateKeyInfo  SEQUENCE { INTEGER version, SEQUENCE { OID
//                          algorithm, parameters }, OCTET STRING key, ... }
//                          whose key is one of the two below for RSA and
//                          ECDSA, an OCTET STRING of the seed for Ed25519
//   SEC1 ECPrivateKey      SEQUENCE { INTEGER 1, OCTET STRING d,
//                          [0] curve OID, [1] public key }
//   PKCS#1 RSAPrivateKey   SEQUENCE { INTEGER 0, n, e, d, p, q, dp, dq, qinv }
#include "der_key.h"

#include <cstdio>
#include <cstring>

namespace {

enum : unsigned char {
    tag_integer = 0x02,
    tag_octet_string = 0x04,
    tag_oid = 0x06,
    tag_sequence = 0x30,
    tag_explicit_0 = 0xA0,
};

// The bytes left to read in one value's content.
struct der_cursor {
    const unsigned char *at;
    const unsigned char *end;
};

// The next value's tag, or 0 at the content's end.
unsigned char peek_tag(const der_cursor &cursor)
{
    return cursor.at < cursor.end ? *cursor.at : 0;
}

// Takes the next value, which must have the tag `tag`; its content.
bool take(der_cursor *cursor, unsigned char tag, der_span *content)
{
    const unsigned char *at = cursor->at;
    if (cursor->end - at < 2 || at[0] != tag)
        return false;
    std::size_t length = at[1];
    at += 2;
    if (length >= 0x80) {
        const std::size_t count = length - 0x80;
        // At most four length bytes (no key comes near 4 GiB); no indefinite form.
        if (count == 0 || count > 4 || static_cast<std::size_t>(cursor->end - at) < count)
            return false;
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = length << 8 | at[i];
        at += count;
    }
    if (static_cast<std::size_t>(cursor->end - at) < length)
        return false;
    *content = {at, length};
    cursor->at = at + length;
    return true;
}

// Takes a SEQUENCE (or another constructed value) and opens its content.
bool enter(der_cursor *cursor, unsigned char tag, der_cursor *inside)
{
    der_span content{};
    if (!take(cursor, tag, &content))
        return false;
    *inside = {content.data, content.data + content.size};
    return true;
}

// Takes an INTEGER that is not negative, without its leading zero bytes.
bool take_unsigned(der_cursor *cursor, der_span *value)
{
    if (!take(cursor, tag_integer, value) || value->size == 0 || (value->data[0] & 0x80) != 0)
        return false;
    while (value->size > 0 && value->data[0] == 0) {
        ++value->data;
        --value->size;
    }
    return true;
}

bool take_small(der_cursor *cursor, unsigned *number)
{
    der_span value{};
    if (!take_unsigned(cursor, &value) || value.size > 1)
        return false;
    *number = value.size == 0 ? 0 : value.data[0];
    return true;
}

std::size_t bit_length(der_span value)
{
    if (value.size == 0)
        return 0;
    std::size_t bits = (value.size - 1) * 8;
    for (unsigned top = value.data[0]; top != 0; top >>= 1)
        ++bits;
    return bits;
}

template <std::size_t N> bool is_oid(der_span oid, const unsigned char (&expected)[N])
{
    return oid.size == N && std::memcmp(oid.data, expected, N) == 0;
}

// An OID in its dotted form, for one no table names.
void dotted(der_span oid, char *out, std::size_t room)
{
    std::size_t used = 0;
    unsigned long long arc = 0;
    bool first = true;
    out[0] = '\0';
    for (std::size_t i = 0; i < oid.size && used < room; ++i) {
        if (arc > (~0ull >> 8)) // too long to be an arc of anything real
            return;
        arc = arc << 7 | (oid.data[i] & 0x7F);
        if ((oid.data[i] & 0x80) != 0)
            continue;
        int written = 0;
        if (first)
            written = arc < 80 ? std::snprintf(out + used, room - used, "%llu.%llu", arc / 40, arc % 40)
                               : std::snprintf(out + used, room - used, "2.%llu", arc - 80);
        else
            written = std::snprintf(out + used, room - used, ".%llu", arc);
        used += written > 0 ? static_cast<std::size_t>(written) : 0;
        first = false;
        arc = 0;
    }
}

const unsigned char oid_rsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const unsigned char oid_ec[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
const unsigned char oid_ed25519[] = {0x2B, 0x65, 0x70};
const unsigned char oid_p256[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

// An OID and what OpenSSL calls it.
struct named_oid {
    unsigned char oid[9];
    std::size_t size;
    const char *name;
};

// Names `oid` from `names`, else by its dotted form, into `text`.
template <std::size_t N> void name_oid(der_span oid, const named_oid (&names)[N], char *text, std::size_t room)
{
    for (const auto &name : names)
        if (oid.size == name.size && std::memcmp(oid.data, name.oid, name.size) == 0) {
            std::snprintf(text, room, "%s", name.name);
            return;
        }
    dotted(oid, text, room);
}

// Names a key algorithm fw2hex does not take.
void name_algorithm(der_span oid, char *found, std::size_t found_size)
{
    static const named_oid names[] = {
        {{0x2B, 0x65, 0x6E}, 3, "X25519"},
        {{0x2B, 0x65, 0x6F}, 3, "X448"},
        {{0x2B, 0x65, 0x71}, 3, "ED448"},
        {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0A}, 9, "RSA-PSS"},
        {{0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01}, 7, "DSA"},
        {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x03, 0x01}, 9, "DH"},
        {{0x2A, 0x86, 0x48, 0xCE, 0x3E, 0x02, 0x01}, 7, "DHX"},
    };
    char text[48];
    name_oid(oid, names, text, sizeof text);
    if (text[0] >= '0' && text[0] <= '9')
        std::snprintf(found, found_size, "a key of the algorithm %s", text);
    else
        std::snprintf(found, found_size, "a %s key", text);
}

// Names a curve other than P-256.
void name_curve(der_span oid, char *found, std::size_t found_size)
{
    static const named_oid names[] = {
        {{0x2B, 0x81, 0x04, 0x00, 0x22}, 5, "secp384r1"},
        {{0x2B, 0x81, 0x04, 0x00, 0x23}, 5, "secp521r1"},
        {{0x2B, 0x81, 0x04, 0x00, 0x0A}, 5, "secp256k1"},
        {{0x2B, 0x81, 0x04, 0x00, 0x21}, 5, "secp224r1"},
        {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x01}, 8, "prime192v1"},
        {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07}, 9, "brainpoolP256r1"},
        {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B}, 9, "brainpoolP384r1"},
        {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D}, 9, "brainpoolP512r1"},
    };
    char text[48];
    name_oid(oid, names, text, sizeof text);
    std::snprintf(found, found_size, "an ECDSA key on the curve %s", text);
}

const char not_a_key[] = "a private key block that is not a key";

key_verdict malformed(char *found, std::size_t found_size)
{
    std::snprintf(found, found_size, "%s", not_a_key);
    return key_not_a_key;
}

// Opens the one SEQUENCE that is the whole of `der`.
bool open_whole(const unsigned char *der, std::size_t size, der_cursor *inside)
{
    der_cursor whole{der, der + size};
    return enter(&whole, tag_sequence, inside) && whole.at == whole.end;
}

// PKCS#1 RSAPrivateKey.
key_verdict read_rsa(der_span der, der_private_key *key, char *found, std::size_t found_size)
{
    der_cursor fields{};
    unsigned version = 0;
    der_span dp{};
    der_span dq{};
    if (!open_whole(der.data, der.size, &fields) || !take_small(&fields, &version) || version != 0 ||
        !take_unsigned(&fields, &key->n) || !take_unsigned(&fields, &key->e) || !take_unsigned(&fields, &key->d) ||
        !take_unsigned(&fields, &key->p) || !take_unsigned(&fields, &key->q) || !take_unsigned(&fields, &dp) ||
        !take_unsigned(&fields, &dq) || !take_unsigned(&fields, &key->qinv) || fields.at != fields.end)
        return malformed(found, found_size);
    const std::size_t bits = bit_length(key->n);
    std::snprintf(found, found_size, "an RSA-%zu key", bits);
    if (bits != 2048 && bits != 3072)
        return key_unsupported;
    if (key->e.size == 0 || key->d.size == 0 || key->p.size == 0 || key->q.size == 0 || key->qinv.size == 0)
        return malformed(found, found_size);
    key->kind = bits == 2048 ? key_rsa_2048 : key_rsa_3072;
    return key_loaded;
}

// SEC1 ECPrivateKey; `curve` is PKCS#8's, or empty for the curve the
// structure names itself.
key_verdict read_ec(der_span der, der_span curve, der_private_key *key, char *found, std::size_t found_size)
{
    der_cursor fields{};
    unsigned version = 0;
    if (!open_whole(der.data, der.size, &fields) || !take_small(&fields, &version) || version != 1 ||
        !take(&fields, tag_octet_string, &key->secret))
        return malformed(found, found_size);
    der_cursor parameters{};
    if (peek_tag(fields) == tag_explicit_0) {
        if (!enter(&fields, tag_explicit_0, &parameters))
            return malformed(found, found_size);
        if (curve.size == 0 && peek_tag(parameters) != tag_oid) {
            std::snprintf(found, found_size, "an ECDSA key on a curve given by its parameters");
            return key_unsupported;
        }
        if (curve.size == 0 && !take(&parameters, tag_oid, &curve))
            return malformed(found, found_size);
    }
    if (curve.size == 0)
        return malformed(found, found_size);
    if (!is_oid(curve, oid_p256)) {
        name_curve(curve, found, found_size);
        return key_unsupported;
    }
    while (key->secret.size > 0 && key->secret.data[0] == 0) {
        ++key->secret.data;
        --key->secret.size;
    }
    if (key->secret.size == 0 || key->secret.size > 32)
        return malformed(found, found_size);
    key->kind = key_ecdsa_p256;
    return key_loaded;
}

// PKCS#8 PrivateKeyInfo.
key_verdict read_pkcs8(der_span der, der_private_key *key, char *found, std::size_t found_size)
{
    der_cursor fields{};
    der_cursor algorithm{};
    unsigned version = 0;
    der_span oid{};
    der_span inner{};
    if (!open_whole(der.data, der.size, &fields) || !take_small(&fields, &version) || version > 1 ||
        !enter(&fields, tag_sequence, &algorithm) || !take(&algorithm, tag_oid, &oid) ||
        !take(&fields, tag_octet_string, &inner))
        return malformed(found, found_size);
    if (is_oid(oid, oid_rsa))
        return read_rsa(inner, key, found, found_size);
    if (is_oid(oid, oid_ec)) {
        der_span curve{};
        if (peek_tag(algorithm) == tag_sequence) {
            std::snprintf(found, found_size, "an ECDSA key on a curve given by its parameters");
            return key_unsupported;
        }
        if (!take(&algorithm, tag_oid, &curve))
            return malformed(found, found_size);
        return read_ec(inner, curve, key, found, found_size);
    }
    if (is_oid(oid, oid_ed25519)) {
        der_cursor seed{inner.data, inner.data + inner.size};
        if (!take(&seed, tag_octet_string, &key->secret) || seed.at != seed.end || key->secret.size != 32)
            return malformed(found, found_size);
        key->kind = key_ed25519;
        return key_loaded;
    }
    name_algorithm(oid, found, found_size);
    return key_unsupported;
}

// Writes a DER length; its size.
std::size_t put_length(std::size_t length, unsigned char *out)
{
    if (length < 0x80) {
        out[0] = static_cast<unsigned char>(length);
        return 1;
    }
    if (length < 0x100) {
        out[0] = 0x81;
        out[1] = static_cast<unsigned char>(length);
        return 2;
    }
    out[0] = 0x82;
    out[1] = static_cast<unsigned char>(length >> 8);
    out[2] = static_cast<unsigned char>(length);
    return 3;
}

// The size of an INTEGER holding the unsigned `value` (no leading zeros).
std::size_t integer_size(der_span value)
{
    const std::size_t content = value.size + (value.size == 0 || (value.data[0] & 0x80) != 0 ? 1 : 0);
    unsigned char length[3];
    return 1 + put_length(content, length) + content;
}

std::size_t put_integer(der_span value, unsigned char *out)
{
    const bool pad = value.size == 0 || (value.data[0] & 0x80) != 0;
    std::size_t used = 0;
    out[used++] = tag_integer;
    used += put_length(value.size + (pad ? 1 : 0), out + used);
    if (pad)
        out[used++] = 0;
    if (value.size > 0)
        std::memcpy(out + used, value.data, value.size);
    return used + value.size;
}

// SEQUENCE { INTEGER a, INTEGER b }; 0 when it does not fit.
std::size_t put_two_integers(der_span a, der_span b, unsigned char *out, std::size_t room)
{
    const std::size_t content = integer_size(a) + integer_size(b);
    unsigned char length[3];
    if (content > 0xFFFF || 1 + put_length(content, length) + content > room)
        return 0;
    std::size_t used = 0;
    out[used++] = tag_sequence;
    used += put_length(content, out + used);
    used += put_integer(a, out + used);
    return used + put_integer(b, out + used);
}

der_span without_leading_zeros(const unsigned char *bytes, std::size_t size)
{
    while (size > 0 && bytes[0] == 0) {
        ++bytes;
        --size;
    }
    return {bytes, size};
}

std::size_t put_prefixed(const unsigned char *prefix, std::size_t prefix_size, const unsigned char *key,
                         std::size_t key_size, unsigned char *out, std::size_t room)
{
    if (prefix_size + key_size > room)
        return 0;
    std::memcpy(out, prefix, prefix_size);
    std::memcpy(out + prefix_size, key, key_size);
    return prefix_size + key_size;
}

} // namespace

key_verdict read_der_private_key(const char *label, const unsigned char *der, std::size_t size,
                                 der_private_key *key, char *found, std::size_t found_size)
{
    *key = der_private_key{};
    const der_span whole{der, size};
    if (std::strcmp(label, "PRIVATE KEY") == 0)
        return read_pkcs8(whole, key, found, found_size);
    if (std::strcmp(label, "RSA PRIVATE KEY") == 0)
        return read_rsa(whole, key, found, found_size);
    if (std::strcmp(label, "EC PRIVATE KEY") == 0)
        return read_ec(whole, der_span{}, key, found, found_size);
    if (std::strcmp(label, "DSA PRIVATE KEY") == 0) {
        std::snprintf(found, found_size, "a DSA key");
        return key_unsupported;
    }
    return malformed(found, found_size);
}

std::size_t der_rsa_public_key(der_span n, der_span e, unsigned char *out, std::size_t room)
{
    return put_two_integers(n, e, out, room);
}

std::size_t der_p256_public_key(const unsigned char point[65], unsigned char *out, std::size_t room)
{
    // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING (no unused bits) point }
    static const unsigned char prefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE,
                                           0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D,
                                           0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
    return put_prefixed(prefix, sizeof prefix, point, 65, out, room);
}

std::size_t der_ed25519_public_key(const unsigned char key[32], unsigned char *out, std::size_t room)
{
    // SEQUENCE { SEQUENCE { id-Ed25519 }, BIT STRING (no unused bits) key }
    static const unsigned char prefix[] = {0x30, 0x2A, 0x30, 0x05, 0x06, 0x03, 0x2B,
                                           0x65, 0x70, 0x03, 0x21, 0x00};
    return put_prefixed(prefix, sizeof prefix, key, 32, out, room);
}

std::size_t der_ecdsa_signature(const unsigned char r[32], const unsigned char s[32], unsigned char *out,
                                 std::size_t room)
{
    return put_two_integers(without_leading_zeros(r, 32), without_leading_zeros(s, 32), out, room);
}
