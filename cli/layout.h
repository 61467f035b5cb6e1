// The layout of the output: the images opened, their sizes and order, the
// overlap checks, and the fills and CRC words of the regions of "-c".
#ifndef FW2HEX_LAYOUT_H
#define FW2HEX_LAYOUT_H

#include <cstddef>

#include "ihex/ihex.h"
#include "options.h"

// The pieces of the output in address order, and the images' streams, which
// the output is compared with.
struct layout {
    piece *pieces;
    std::size_t piece_count;
    image_source *sources;
};

// Opens the images of `line` and lays out everything it asks for, refusing
// what cannot be laid out before the output is touched; the exit status.
// The images of `line` end up in address order.
int lay_out(command_line *line, layout *laid_out);

// After the conversion: one line per piece with bytes, in address order,
// on standard error.
void show_layout(const command_line &line, const layout &laid_out);

#endif
