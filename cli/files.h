// The output path, derived from the image's path, and the parts of paths
// that name the output's format.
#ifndef FW2HEX_FILES_H
#define FW2HEX_FILES_H

#include <cstddef>

// Room for the output path of `input_path` with `extension`: the input,
// the extension, and the NUL.
std::size_t output_path_size(const char *input_path, const char *extension);

// Writes into `buffer` (output_path_size bytes) the input path with the
// extension of its final component replaced by `extension` (appended when
// that component has no '.').
void derive_output_path(const char *input_path, const char *extension, char *buffer);

// The final component of `path`: its name without its folders.
const char *file_name_of(const char *path);

// The extension of the final component of `path`, from its last '.', or
// "" when it has none (the dots a name starts with are not one).
const char *extension_of(const char *path);

#endif
