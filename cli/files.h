// The output path, derived from the image's path.
#ifndef FW2HEX_FILES_H
#define FW2HEX_FILES_H

#include <cstddef>

// Room for the output path of `input_path`: the input, at most ".hex"
// more, and the NUL.
std::size_t output_path_size(const char *input_path);

// Writes into `buffer` (output_path_size bytes) the input path with the
// extension of its final component replaced by ".hex" (appended when that
// component has no '.').
void derive_output_path(const char *input_path, char *buffer);

#endif
