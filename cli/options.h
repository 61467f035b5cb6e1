// The command line, scanned into what the user asked for.
#ifndef FW2HEX_OPTIONS_H
#define FW2HEX_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "convert/convert.h"
#include "formats/format.h"
#include "convert/mcuboot.h"
#include "convert/part.h"

// An image of the output: the operand, or one placed with "-m".
struct image_file {
    const char *path;   // as typed
    std::uint32_t address;
    std::FILE *stream;  // open for binary reading, or null
    std::uint64_t size; // known before reading: beside other pieces it must be
    bool size_known;
    const unsigned char *head; // its first bytes, read from a pipe to tell its format
    std::size_t head_size;
};

// A part: a file of "-i", or the operand, in a format that says where its
// bytes go; its stretches are laid out as images.
struct part_file {
    const char *path;   // as typed
    std::FILE *stream;  // open for binary reading, or null
    std::uint64_t size;
    const file_format *format; // the one its content is in, once told
    part_stretches stretches;
};

// A CRC asked for with "-c".
struct crc_request {
    const char *text; // the argument as typed
    crc_region region;
};

// The MCUboot image asked for with "--mcuboot" and the options that shape it.
struct slot_request {
    const char *text;         // "--mcuboot"'s argument as typed, or null when not given
    const char *first_option; // the first option of the image given, "--pad" say, for a refusal without a slot
    bool max_align_given;
    const char *key_path;     // "--key": the private key that signs the image, or null
    mcuboot_request image;
};

// What the options ask for once scanned.
enum request { convert_file, show_help, show_version, refuse_option };

// What the command line asks for. Its tables have room for one entry per
// argument and live as long as the process.
struct command_line {
    const char *output;      // "-o": the output instead of the derived path; "-" is standard output
    image_file *images;      // the operand first (filled in by set_operand), then those of "-m" in order
    std::size_t image_count;
    crc_request *crcs;       // those of "-c", in order
    std::size_t crc_count;
    part_file *parts;        // those of "-i", in order, after the operand when it is one
    std::size_t part_count;
    bool has_operand;        // the command line names an operand (images[0], or parts[0] once told apart)
    bool address_given;      // "-a" was given
    bool operand_regular;    // the operand is a regular file, whose name an output's may be derived from
    bool verbose;            // "-v": the layout on standard error after a successful run
    const file_format *format; // "-O", the -o path's extension, else Intel HEX
    const char *format_text; // the last "-O" argument as typed, or null
    slot_request slot;       // "--mcuboot" and its options
    std::uint32_t load_address; // "-a": where the operand's first byte goes
    walk_settings settings;  // how the walk treats what it takes: "-s"
};

// Makes the empty tables for `argc` arguments; false when out of memory.
bool make_command_line(int argc, command_line *line);

// Scans the options into `line` (and the conversion settings), up to the
// first operand or to an option that asks for something else than a
// conversion; `operand` is the index of the operand (argc when none, and
// then the images hold only those of "-m"). Malformed arguments are
// reported here.
request scan_command_line(int argc, char *argv[], command_line *line, int *operand);

// Refuses the options of an MCUboot image that cannot be taken together:
// any of them without --mcuboot, --max-align below --align; false, with
// the message said.
bool check_slot_options(const command_line &line);

// Chooses the output's format where -O did not: from the extension of the
// -o path, else Intel HEX; false, with the message said, when that format
// needs parameters only -O can give.
bool choose_format(command_line *line);

#endif
