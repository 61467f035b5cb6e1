// MCUboot's image format, as its design document and imgtool lay it out
// (all fields little-endian):
//   header (at the slot's start, header_size bytes, 32 of them fields):
//     magic 0x96F3B83D, load address 0, header size (16 bits), protected
//     TLV area size (16 bits), code size, flags 0, version (major 8 bits,
//     minor 8, revision 16, build 32), 4 bytes of padding;
//   the code, from the header's end;
//   the protected TLV area, when there is a security counter: info word
//     (0x6908, its size), TLV 0x50 with the counter's 32 bits;
//   the TLV area: info word (0x6907, its size), TLV 0x10 with the SHA-256
//     of everything from the header's start to here; with a key, TLV 0x01
//     with the SHA-256 of its public key (or 0x02 with the key itself),
//     then the signature of that SHA-256 (0x22 ECDSA P-256, 0x24 Ed25519,
//     0x20 RSA-2048, 0x23 RSA-3072);
//   the trailer, at the slot's end: the swap status (3 * max_sectors *
//     align bytes), four flags (swap size, swap info, copy done, image ok,
//     each max_align bytes), the 16-byte magic aligned up to max_align.
#include "mcuboot.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t header_magic = 0x96F3B83D;
constexpr std::uint32_t tlv_info_magic = 0x6907;
constexpr std::uint32_t protected_info_magic = 0x6908;
constexpr unsigned char sha256_tlv = 0x10;
constexpr unsigned char key_hash_tlv = 0x01;
constexpr unsigned char public_key_tlv = 0x02;
constexpr unsigned char security_counter_tlv = 0x50;
constexpr std::uint32_t default_max_align = 8;
constexpr unsigned char image_ok = 0x01;

// The trailer's magic for a max_align of 8; other alignments put the
// alignment in its first two bytes and keep the last 14.
constexpr unsigned char boot_magic[mcuboot_magic_size] = {0x77, 0xC2, 0x95, 0xF3, 0x60, 0xD2, 0xEF, 0x7F,
                                                          0x35, 0x52, 0x50, 0x0F, 0x2C, 0xB6, 0x79, 0x80};
constexpr unsigned char aligned_magic_tail[14] = {0x2D, 0xE1, 0x5D, 0x29, 0x41, 0x0B, 0x8D,
                                                  0x77, 0x67, 0x9C, 0x11, 0x0F, 0x1F, 0x8A};

void put_le16(unsigned char *at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void put_le32(unsigned char *at, std::uint32_t value)
{
    put_le16(at, value);
    put_le16(at + 2, value >> 16);
}

// The TLV type of a signature by `kind`.
unsigned char signature_tlv(key_kind kind)
{
    switch (kind) {
    case key_ecdsa_p256:
        return 0x22;
    case key_ed25519:
        return 0x24;
    case key_rsa_2048:
        return 0x20;
    case key_rsa_3072:
        return 0x23;
    }
    return 0;
}

// A TLV's four bytes before its value: type, 0, length.
unsigned char *put_tlv(unsigned char *at, unsigned char type, std::size_t size)
{
    at[0] = type;
    at[1] = 0;
    put_le16(at + 2, static_cast<std::uint32_t>(size));
    return at + 4;
}

std::uint32_t align_up(std::uint32_t value, std::uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// One number of a version: "0", or decimal digits without a leading zero,
// at most `limit`; the first character after it, or null.
const char *parse_version_part(const char *text, std::uint32_t limit, std::uint32_t *value, bool *too_large)
{
    if (*text < '0' || *text > '9' || (text[0] == '0' && text[1] >= '0' && text[1] <= '9'))
        return nullptr;
    std::uint64_t number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + static_cast<std::uint64_t>(*text - '0');
        if (number > limit) {
            *too_large = true;
            number = limit + std::uint64_t{1};
        }
    }
    *value = static_cast<std::uint32_t>(number);
    return text;
}

} // namespace

const char *parse_image_version(const char *text, image_version *version)
{
    static const char *const names[4] = {"MAJOR", "MINOR", "REVISION", "BUILD"};
    static constexpr std::uint32_t limits[4] = {0xFF, 0xFF, 0xFFFF, 0xFFFFFFFF};
    static constexpr char separators[4] = {'.', '.', '+', '\0'};
    static char fault[96];
    std::uint32_t parts[4] = {0, 0, 0, 0};
    const char *at = text;
    for (int i = 0; i < 4; ++i) {
        bool too_large = false;
        at = parse_version_part(at, limits[i], &parts[i], &too_large);
        if (at == nullptr)
            return "expected MAJOR[.MINOR[.REVISION[+BUILD]]], each a decimal number without leading zeros";
        if (too_large) {
            std::snprintf(fault, sizeof fault, "%s is at most %u", names[i], static_cast<unsigned>(limits[i]));
            return fault;
        }
        if (*at == '\0')
            break;
        if (*at != separators[i])
            return "expected MAJOR[.MINOR[.REVISION[+BUILD]]], each a decimal number without leading zeros";
        ++at;
    }
    *version = {static_cast<std::uint8_t>(parts[0]), static_cast<std::uint8_t>(parts[1]),
                static_cast<std::uint16_t>(parts[2]), parts[3]};
    return nullptr;
}

std::uint32_t mcuboot_max_align(const mcuboot_request &request)
{
    if (request.max_align != 0)
        return request.max_align;
    return request.align > default_max_align ? request.align : default_max_align;
}

std::uint32_t mcuboot_trailer_size(const mcuboot_request &request)
{
    const std::uint32_t max_align = mcuboot_max_align(request);
    const std::uint32_t magic = align_up(mcuboot_magic_size, max_align);
    if (request.overwrite_only)
        return 2 * max_align + magic;
    // Swap status, then swap size, swap info, copy done and image ok.
    return request.max_sectors * 3 * request.align + 4 * max_align + magic;
}

void mcuboot_lay_out(mcuboot_slot *slot, const mcuboot_request &request, std::uint32_t code_start,
                     std::uint32_t code_end)
{
    std::memset(slot, 0, sizeof *slot);
    slot->request = request;
    slot->code_start = code_start;
    slot->code_end = code_end;

    const bool has_counter = request.has_security_counter;
    slot->protected_size = has_counter ? mcuboot_protected_room : 0;
    if (has_counter) {
        const image_version &v = request.version;
        const std::uint32_t counter = request.security_counter_auto
                                          ? (std::uint32_t{v.major} << 24) + (std::uint32_t{v.minor} << 16) + v.revision
                                          : request.security_counter;
        unsigned char *tlvs = slot->protected_tlvs;
        put_le16(tlvs, protected_info_magic);
        put_le16(tlvs + 2, mcuboot_protected_room);
        tlvs[4] = security_counter_tlv;
        tlvs[5] = 0;
        put_le16(tlvs + 6, 4);
        put_le32(tlvs + 8, counter);
    }

    unsigned char *header = slot->header;
    put_le32(header, header_magic);
    put_le32(header + 4, 0); // load address: the image runs where it lies
    put_le16(header + 8, code_start - request.start);
    put_le16(header + 10, slot->protected_size);
    put_le32(header + 12, code_end - code_start);
    put_le32(header + 16, 0); // flags
    header[20] = request.version.major;
    header[21] = request.version.minor;
    put_le16(header + 22, request.version.revision);
    put_le32(header + 24, request.version.build);
    put_le32(header + 28, 0);

    slot->tlv_size = 4 + 4 + sha256_size;
    if (request.key != nullptr) {
        slot->public_key_size = signing_key_public(*request.key, slot->public_key);
        sha256_state key_hash{};
        sha256_start(&key_hash);
        sha256_feed(&key_hash, slot->public_key, slot->public_key_size);
        sha256_finish(&key_hash, slot->key_hash);
        slot->tlv_size += static_cast<std::uint32_t>(4 + (request.full_public_key ? slot->public_key_size : sha256_size) +
                                                     4 + signature_size(signing_key_kind(*request.key)));
    }

    const std::uint32_t max_align = mcuboot_max_align(request);
    slot->magic_address = request.end - mcuboot_magic_size;
    if (max_align == default_max_align) {
        std::memcpy(slot->magic, boot_magic, sizeof boot_magic);
    } else {
        put_le16(slot->magic, max_align);
        std::memcpy(slot->magic + 2, aligned_magic_tail, sizeof aligned_magic_tail);
    }
    // imgtool writes no image_ok for an overwrite-only image.
    if (request.confirm && !request.overwrite_only) {
        slot->flag_size = max_align;
        slot->flag_address = request.end - align_up(mcuboot_magic_size, max_align) - max_align;
        std::memset(slot->flag, request.erased, sizeof slot->flag);
        slot->flag[0] = image_ok;
    }
}

std::uint32_t mcuboot_hashed_end(const mcuboot_slot &slot)
{
    return slot.code_end + slot.protected_size;
}

std::uint64_t mcuboot_image_end(const mcuboot_slot &slot)
{
    return std::uint64_t{mcuboot_hashed_end(slot)} + slot.tlv_size;
}

bool mcuboot_seal(mcuboot_slot *slot)
{
    unsigned char *area = slot->tlv_area;
    put_le16(area, tlv_info_magic);
    put_le16(area + 2, slot->tlv_size);
    unsigned char *digest = put_tlv(area + 4, sha256_tlv, sha256_size);
    sha256_finish(&slot->hash, digest);
    const signing_key *key = slot->request.key;
    if (key == nullptr)
        return true;
    unsigned char *at = digest + sha256_size;
    if (slot->request.full_public_key) {
        at = put_tlv(at, public_key_tlv, slot->public_key_size);
        std::memcpy(at, slot->public_key, slot->public_key_size);
        at += slot->public_key_size;
    } else {
        at = put_tlv(at, key_hash_tlv, sha256_size);
        std::memcpy(at, slot->key_hash, sha256_size);
        at += sha256_size;
    }
    const key_kind kind = signing_key_kind(*key);
    return sign_digest(*key, digest, put_tlv(at, signature_tlv(kind), signature_size(kind)));
}
