// The image MCUboot boots: a header before the code, a TLV area after it
// holding the SHA-256 of header, code and protected TLVs, and, for an
// update to be taken, a trailer at the slot's end. The layout places the
// pieces; the walk hashes what goes by and writes the TLV area when it
// reaches it. Byte for byte what MCUboot's imgtool writes for the same
// image and options, without a key.
#ifndef FW2HEX_MCUBOOT_H
#define FW2HEX_MCUBOOT_H

#include <cstddef>
#include <cstdint>

#include "crypto/hash.h"
#include "crypto/sign.h"

// MAJOR.MINOR.REVISION+BUILD, as the header holds it.
struct image_version {
    std::uint8_t major;
    std::uint8_t minor;
    std::uint16_t revision;
    std::uint32_t build;
};

// What the options ask of the slot and its image.
struct mcuboot_request {
    std::uint32_t start, end;    // the slot: from start up to end (excluded)
    std::uint32_t header_size;   // 0: the distance to the slot's first byte of data
    image_version version;
    std::uint32_t align;         // the flash's write size, for the trailer: 1 to 32
    std::uint32_t max_align;     // 0: imgtool's default, the larger of 8 and align
    std::uint32_t max_sectors;   // sectors the trailer's swap status counts
    bool overwrite_only;
    bool pad;                    // the trailer's magic at the slot's end
    bool confirm;                // and its image_ok flag set (implies pad)
    bool has_security_counter;
    bool security_counter_auto;  // from the version, as imgtool computes it
    std::uint32_t security_counter;
    unsigned char erased;        // what erased flash reads: 0xFF or 0x00
    const signing_key *key;      // signs the image, or null
    bool full_public_key;        // the key itself in the TLVs, rather than its hash
};

constexpr std::uint32_t mcuboot_header_fields = 32; // the header's fields; the rest of it is padding
constexpr std::uint32_t mcuboot_header_limit = 0xFFFF; // its size field is 16 bits
constexpr std::uint32_t mcuboot_magic_size = 16;
constexpr std::uint32_t mcuboot_flag_room = 32;     // the largest max_align
// The TLV area: its info word, the SHA-256 TLV, and with a key the key's
// TLV (its hash, or itself) and the signature's.
constexpr std::uint32_t mcuboot_tlv_room = 4 + 4 + sha256_size + 4 + public_key_room + 4 + signature_room;
constexpr std::uint32_t mcuboot_protected_room = 4 + 4 + 4;

// A slot as laid out, with the bytes each of its pieces holds.
struct mcuboot_slot {
    mcuboot_request request;
    std::uint32_t code_start;     // the header's end
    std::uint32_t code_end;       // the TLVs start here
    std::uint32_t protected_size; // of the protected TLV area (the security counter), 0 without one
    std::uint32_t flag_address;   // of the image_ok flag, when written
    std::uint32_t flag_size;      // 0 when no flag is written
    std::uint32_t magic_address;  // of the trailer's magic, when padded
    unsigned char header[mcuboot_header_fields];
    unsigned char protected_tlvs[mcuboot_protected_room];
    unsigned char flag[mcuboot_flag_room];
    unsigned char magic[mcuboot_magic_size];
    unsigned char public_key[public_key_room]; // as MCUboot embeds it, with a key
    std::size_t public_key_size;
    unsigned char key_hash[sha256_size];       // its SHA-256, as TLV 0x01 holds it
    std::uint32_t tlv_size;       // of the TLV area
    sha256_state hash;            // the conversion's: header, code and protected TLVs as they go by
    unsigned char tlv_area[mcuboot_tlv_room]; // once the walk has reached it
};

// Reads imgtool's form of a version: MAJOR[.MINOR[.REVISION[+BUILD]]], in
// decimal without leading zeros; null when it is one, else what is wrong.
const char *parse_image_version(const char *text, image_version *version);

// The flash alignment the trailer is laid out for.
std::uint32_t mcuboot_max_align(const mcuboot_request &request);
// The trailer's size, as the bootloader lays it out at the slot's end.
std::uint32_t mcuboot_trailer_size(const mcuboot_request &request);

// Lays out the image of `request` with the header ending at `code_start`
// and the code at `code_end`: the header, the protected TLVs and the
// trailer's bytes.
void mcuboot_lay_out(mcuboot_slot *slot, const mcuboot_request &request, std::uint32_t code_start,
                     std::uint32_t code_end);
// Where the hashed bytes end: the TLV area's address.
std::uint32_t mcuboot_hashed_end(const mcuboot_slot &slot);
// The first address past the image (header, code and TLVs).
std::uint64_t mcuboot_image_end(const mcuboot_slot &slot);

// Ends the hash and writes the TLV area, signed with a key; false when
// the signing failed.
bool mcuboot_seal(mcuboot_slot *slot);
// The SHA-256 the TLV area holds, once sealed.
inline const unsigned char *mcuboot_digest(const mcuboot_slot &slot)
{
    return slot.tlv_area + 8;
}

#endif
