// The table of file formats: each is one row, its writer (the seam of
// output.h) beside its reader (the seam of parts, part.h), each filled by
// the format's own files, and what the command line shows of it. Nothing
// outside those files knows the format's details.
#ifndef FW2HEX_FORMAT_H
#define FW2HEX_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "convert/output.h"
#include "convert/part.h"

// What a format makes of the runs it would hold, before anything is written.
enum plan_verdict {
    plan_fits,
    plan_empty,     // no byte at all, which the format cannot carry
    plan_too_large, // the file would pass what its fields can count
    plan_gap_too_large, // between run `at` and the next lies a gap too large to write
    plan_target_apart   // run `at` goes to a target that runs before it left for another
};

struct file_format {
    const char *name;       // as -O takes it; null for a format that is only read
    const char *title;      // as messages and -v name the kind of file
    const char *article;    // before the title: "a" or "an"
    const char *form;       // of -O's argument, as messages show it: "dfu[:VID:PID]"
    const char *form_help;  // what its parameters are, after the form in messages; "" for none
    const char *extensions; // the -o extensions that choose it, lower case, each with its dot and a space after it
    const char *extension;  // of the derived output path
    const char *empty_note; // what the output is when no byte went out
    // Takes the text after "NAME:" (null when there is none); false when it
    // is malformed, or missing where it is needed.
    bool (*configure)(const char *parameters);
    bool has_addresses;     // the file says where its bytes go: -s may leave bytes out
    bool needs_plan;        // the runs it holds must be known before its first byte is written
    // Judges the runs the output will hold, or null when any will do.
    plan_verdict (*judge)(const run_list &runs, std::size_t *at);
    format_writer writer; // null operations for a format that is only read

    // Reads the format as a part (-i, or a recognised operand); null for a
    // format that has no addresses.
    const part_reader *reader;
    // Other names -O takes for it, objcopy's among them, each with a space
    // after it ("ihex "); "" for none.
    const char *other_names;
    // Its stretches that touch are one piece of the layout (with one -s
    // grid), rather than only those that follow on in the file.
    bool joins_touching;
    // What -v says of a stretch beside the format (an ELF section's name,
    // a UF2 file's family), written to `name` (`size` bytes, NUL
    // included); null when it says nothing more.
    void (*describe)(std::FILE *input, const part_stretch &stretch, char *name, std::size_t size);
    // -v shows each stretch on a line of its own (the sections of an ELF
    // file), rather than each piece.
    bool describes_each_stretch;
    // For a format whose stretches belong to targets (a DfuSe file's
    // alternate settings): the number of a stretch's target, which its
    // `detail` holds, and its name, written to `name` (`size` bytes, NUL
    // included); null for other formats.
    void (*target_name)(std::FILE *input, const part_stretch &stretch, char *name, std::size_t size) = nullptr;
};

// Every format: those written first, in the order messages list them.
extern const file_format *const file_formats[];
extern const std::size_t file_format_count;
// The Intel HEX format, the default.
extern const file_format &intel_hex_format;

// The format whose reader is `reader`.
const file_format &format_reading(const part_reader &reader);

#endif
