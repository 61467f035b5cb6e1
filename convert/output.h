// The seam between the walk over the laid-out pieces and the file it
// writes: a format's writer takes the runs of bytes the walk hands it.
#ifndef FW2HEX_OUTPUT_H
#define FW2HEX_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "convert.h"

// Bytes at consecutive addresses that the output holds.
struct run {
    std::uint32_t address;
    std::uint64_t size;
    std::uint16_t target = 0; // of the output's targets, the one it goes to
};
// A part of the output that a format keeps apart, with its number and name
// (a DfuSe file's target: its alternate setting and name). Every run goes
// to the first one unless a part's stretches say otherwise.
struct output_target {
    unsigned number;
    char name[256];
};
// The runs an output holds, in address order, none touching the next, in
// memory that grows with them (the owner frees `items`), and the targets
// they go to.
struct run_list {
    run *items;
    std::size_t count;
    std::size_t room;
    const output_target *targets = nullptr;
    std::size_t target_count = 0;
};

struct format_writer {
    // Starts the output on `output` (binary), named `name` without its
    // folders ("" for standard output); `plan` holds the runs to come when
    // the format needs them before its first byte; `entry` is where
    // execution starts, for a format that records it (0: not known).
    bool (*start)(std::FILE *output, const char *name, const run_list *plan, std::uint32_t entry);
    // Writes `count` bytes (at least one) at `address`. Runs come in
    // address order, each starting on the 16-byte line grid of its piece;
    // runs that touch may come one after the other.
    convert_result (*put)(std::uint32_t address, const unsigned char *bytes, std::size_t count);
    // Ends the output: when `complete`, every run has gone out, and the file
    // is closed off (its end record, its suffix); otherwise what the format
    // holds is written as it stands. Then flushes it.
    convert_result (*finish)(bool complete);
};

// The runs the pieces hold, for a format that needs them before writing:
// from their sizes, or, when omission leaves blank bytes out, from a
// reading of them all (the images' streams are then rewound). Fails like
// convert_pieces, with `failed` the index of the piece that failed.
convert_result plan_runs(piece *pieces, std::size_t count, const walk_settings &settings, run_list *runs,
                         std::size_t *failed);

#endif
