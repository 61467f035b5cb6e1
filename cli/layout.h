// The layout of the output: the images opened, their sizes and order, the
// overlap checks, and the fills and CRC words of the regions of "-c".
#ifndef FW2HEX_LAYOUT_H
#define FW2HEX_LAYOUT_H

#include <cstddef>

#include "convert/convert.h"
#include "convert/output.h"
#include "options.h"

// The pieces of the output in address order, and the images' streams, which
// the output is compared with.
struct layout {
    piece *pieces;
    std::size_t piece_count;
    image_source *sources; // every file read: images and Intel HEX files
    std::size_t source_count;
    run_list runs;         // what the output holds, when its format needs to know before writing
    walk_settings settings;
    std::uint32_t entry;   // where execution starts, as the parts give it; 0: not known
    // The output's targets: the first the one every piece goes to unless
    // a part's stretches name another (number 0, no name: the format's own).
    output_target *targets;
    std::size_t target_count;
};

// Opens the images and Intel HEX files of `line`, checks the files through,
// and lays out everything it asks for, refusing what cannot be laid out
// before the output is touched; the exit status.
int lay_out(command_line *line, layout *laid_out);

// Learns the runs the output will hold, when its format needs them before
// writing or judges them, and refuses what the format cannot hold, before
// the output is touched; the exit status.
int plan_output(const command_line &line, layout *laid_out);

// After the conversion: one line per piece with bytes, in address order,
// on standard error.
void show_layout(const layout &laid_out, const file_format &format);

#endif
