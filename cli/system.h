// What fw2hex needs from the operating system, one interface for every
// platform: the command line, opening the two files, and text for the user.
// Paths and texts are UTF-8 inside the program; system_posix.cpp and
// system_windows.cpp turn them into what each system takes.
#ifndef FW2HEX_SYSTEM_H
#define FW2HEX_SYSTEM_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "convert/convert.h"

// The program; the platform's entry point hands it the command line as
// UTF-8 text.
int fw2hex_main(int argc, char *argv[]);

// Opens the image for binary reading; null when it cannot be opened or is
// a directory, which has no bytes to read.
std::FILE *open_image(const char *path);

// Standard input, for reading bytes (no text-mode translation).
std::FILE *standard_input();

// True, with the size, when the image is a regular file whose size is
// known before it is read; false for pipes, FIFOs and devices.
bool known_image_size(std::FILE *image, std::uint64_t *size);

// True when `stream` is a pipe (or a FIFO, or a socket), whose bytes can
// be read only once, in order.
bool is_pipe(std::FILE *stream);

// Lets the pipe `stream` hold more bytes at once where the system allows
// it, so that reading it to its end takes fewer turns between the program
// that writes it and this one.
void widen_pipe(std::FILE *stream);

// An unnamed temporary file in the system's folder for them, open for
// reading and writing, and removed however the program ends; null, with
// the system's error, when it cannot be created.
std::FILE *open_spool();

// The image's path with its final component spelled as the system stores
// it (Windows: a short 8.3 name expanded, trailing dots and spaces, which
// the system drops, dropped). Lives until the program ends.
const char *stored_name(const char *image_path);

enum output_opening {
    output_opened,   // *output is open for writing, and empty
    output_is_image, // the path leads to one of the images; nothing changed
    output_failed    // it cannot be created, emptied or told apart from the images
};

// Opens (creates) the output without emptying it, compares the open file
// with each of the `count` open images, and only then empties it: no image
// is ever cut, whatever link or spelling leads to it.
output_opening open_output(const char *path, const image_source *images, std::size_t count, std::FILE **output);

// Standard output as the output, unless it leads to one of the images
// (such as "fw2hex -o - fw.bin >>fw.bin"); never emptied.
output_opening use_standard_output(const image_source *images, std::size_t count, std::FILE **output);

// Why a call into the system failed, as it was right after the failure:
// errno, and on Windows the system's own error code.
struct system_error {
    int number;          // errno
    unsigned long code;  // Windows: GetLastError(); 0 elsewhere
};
system_error last_system_error();
// The system's message for `error`, as UTF-8 without a final period or line
// end ("No such file or directory"); lives until the next call.
const char *system_reason(const system_error &error);

// Formats UTF-8 text onto standard output or standard error so that the
// user sees its characters (a Windows console takes them as UTF-16).
void print_text(std::FILE *stream, const char *format, std::va_list arguments);

#endif
