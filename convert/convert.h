// The seam between the command line and the conversion: settings in,
// streams in, one result out. Nothing behind it prints or names a file.
#ifndef FW2HEX_CONVERT_H
#define FW2HEX_CONVERT_H

#include <cstdint>
#include <cstdio>

#include "crc.h"

// Where STM32 flash begins, the load address unless told otherwise.
constexpr std::uint32_t default_load_address = 0x08000000;

enum convert_result {
    converted,       // the whole image and the End Of File record went out
    read_failed,     // the input reported an error (not end of input)
    write_failed,    // the output refused a write or the final flush
    image_too_large, // an image byte would lie above 0xFFFFFFFF
    image_changed,   // an image of known size ended early or went on, or a
                     // part no longer holds what its first reading found
    out_of_memory,   // no room to note one more run
    signing_failed   // the crypto library could not sign an MCUboot image
};

// True when an image of `size` bytes at `address` stays inside the 32-bit
// address space.
bool image_fits(std::uint64_t size, std::uint32_t address);

// How the walk treats what it takes.
struct walk_settings {
    bool omit_blank; // -s: blank lines and blocks are left out of a format with addresses
};

// One image of a merged output: its stream (binary) and the address of its
// first byte.
struct image_source {
    std::FILE *stream;
    std::uint32_t address;
};

// A CRC over the addresses from `start` up to `end` (excluded), of every
// byte the pieces put there, written at `end` by its crc_piece.
struct crc_region {
    std::uint32_t start, end;
    crc_algorithm algorithm;
    crc_state state; // the conversion's, fed with the region's bytes as they go by
    crc_region *next; // the conversion's: the next region in address order
    std::uint32_t value; // the CRC, once its word has been written
};

struct part_reader;
struct part_stretch;
struct mcuboot_slot;

// What an output is laid out from.
enum piece_kind {
    image_piece, // the bytes of a raw image stream
    fill_piece,  // `size` bytes of `fill` (0xFF, erased flash) where a region or a slot has no image
    crc_piece,   // the 4 bytes of a region's CRC, least significant first
    part_piece,  // of a part (a file with addresses) that its reader accepted: a stretch, or touching ones
    known_piece, // bytes known before the walk, at `head`: an MCUboot slot's protected TLVs, its trailer
    tlv_piece    // an MCUboot slot's TLV area, made from the hash of what went before it
};
struct piece {
    piece_kind kind;
    std::uint32_t address;              // of its first byte
    std::uint64_t size;                 // image: known, or counted as it is read unless `exact`
    bool exact;                         // image: the stream must hold exactly `size` bytes
    std::FILE *stream;                  // image, part: open for binary reading
    crc_region *region;                 // crc: the region whose CRC it is
    const char *name;                   // the caller's name for it; the conversion does not look
    const part_reader *reader;          // part: its format's
    const part_stretch *stretches;      // part: the piece's stretches, in address order, touching
    std::size_t stretch_count;
    const unsigned char *head;          // image: its first bytes, already read from the stream; known: its bytes
    std::size_t head_size;
    unsigned char fill;                 // fill: the byte it repeats
    mcuboot_slot *slot;                 // tlv: the slot whose image it ends
    std::uint16_t target = 0;           // of the output's targets, the one it goes to
};

// Reads what the pieces (in address order, apart) put at the `size`
// addresses from `address` into `bytes`, marking each byte a piece puts
// there in `present` (1, else 0), before the walk: images are read at the
// place and rewound, parts' runs taken up to there. Fails like
// convert_pieces.
convert_result peek_pieces(const piece *pieces, std::size_t count, std::uint32_t address, std::size_t size,
                           unsigned char *bytes, unsigned char *present);

struct format_writer;

// Writes `count` pieces, in the order given (the caller sorts them by
// address and keeps them apart), through `writer`, whose start the caller
// has called: the bytes of each piece, or with omission the lines
// of them that are not blank, go to the format as runs in address order,
// and the format ends the file. Every byte that goes by inside the region
// of a CRC piece feeds its CRC; the caller lays out the pieces so that each
// region is covered before its CRC piece. With a TLV piece, the bytes at
// its slot's start are its header's, whatever piece brings them, and every
// byte from there up to the TLV piece feeds the slot's hash. An image piece of unknown size
// gets the size read. `holds_data`, when given, tells whether any byte
// went out. On failure, `failed` (when given) is the index of the piece
// that was being converted.
convert_result convert_pieces(piece *pieces, std::size_t count, const format_writer &writer,
                              const walk_settings &settings, bool *holds_data = nullptr, std::size_t *failed = nullptr);

#endif
