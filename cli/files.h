// The files of one run: the image's path and handle, the derived output path.
#ifndef FW2HEX_FILES_H
#define FW2HEX_FILES_H

#include <cstdint>
#include <cstdio>
#include <string>

// The input path with the extension of its final component replaced by
// ".hex" (appended when that component has no '.').
std::string derive_output_path(const char *input_path);

// Opens the image for binary reading; null when it cannot be opened or is
// a directory, which has no bytes to read.
std::FILE *open_image(const char *path);

// True, with the size, when the image is a regular file whose size is
// known before it is read; false for pipes, FIFOs and devices.
bool known_image_size(std::FILE *image, std::uint64_t *size);

// True when `path` names the file open as `file` (through a link too).
bool names_same_file(std::FILE *file, const char *path);

#endif
