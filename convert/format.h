// The table of file formats: each is one row, its writer (the seam between
// the walk over the laid-out pieces and the file it writes) beside its
// reader (the seam of parts, part.h), each filled by the format's own
// files. Nothing outside those files knows the format's details.
#ifndef FW2HEX_FORMAT_H
#define FW2HEX_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "convert.h"
#include "part.h"

// A run of bytes at consecutive addresses that the output holds.
struct extent {
    std::uint32_t address;
    std::uint64_t size;
};
// The runs an output holds, in address order, none touching the next, in
// memory that grows with them (the owner frees `items`).
struct extent_list {
    extent *items;
    std::size_t count;
    std::size_t room;
};

// What a format makes of the runs it would hold, before anything is written.
enum plan_verdict {
    plan_fits,
    plan_empty,     // no byte at all, which the format cannot carry
    plan_too_large, // the file would pass what its fields can count
    plan_gap_too_large // between run `at` and the next lies a gap too large to write
};

struct file_format {
    const char *name;       // as -O takes it; null for a format that is only read
    const char *title;      // as messages name the kind of file
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
    plan_verdict (*judge)(const extent_list &runs, std::size_t *at);

    // Starts the output on `output` (binary), named `name` without its
    // folders ("" for standard output); `plan` holds the runs to come when
    // needs_plan.
    bool (*start)(std::FILE *output, const char *name, const extent_list *plan);
    // Writes `count` bytes (at least one) at `address`. Runs come in
    // address order, each starting on the 16-byte line grid of its piece;
    // runs that touch may come one after the other.
    convert_result (*put)(std::uint32_t address, const unsigned char *bytes, std::size_t count);
    // Ends the output: when `complete`, every run has gone out, and the file
    // is closed off (its end record, its suffix); otherwise what the format
    // holds is written as it stands. Then flushes it.
    convert_result (*finish)(bool complete);

    // Reads the format as a part (-i, or a recognised operand); null for a
    // format that has no addresses.
    const part_reader *reader;
    // Other names -O takes for it, objcopy's among them, each with a space
    // after it ("ihex "); "" for none.
    const char *other_names;
};

// Every format: those written first, in the order messages list them.
extern const file_format *const file_formats[];
extern const std::size_t file_format_count;
// The Intel HEX format, the default.
extern const file_format &intel_hex_format;

// The runs the pieces hold, for a format that needs them before writing:
// from their sizes, or, when omission leaves blank bytes out, from a
// reading of them all (the images' streams are then rewound). Fails like
// convert_pieces, with `failed` the index of the piece that failed.
convert_result plan_runs(piece *pieces, std::size_t count, extent_list *runs, std::size_t *failed);

#endif
