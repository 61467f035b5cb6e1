// fw2hex: converts raw STM32 firmware images into an Intel HEX file.
// main reads as the program's table of contents; the command line, the
// layout and the messages live in files of their own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "files.h"
#include "ihex/ihex.h"
#include "layout.h"
#include "messages.h"
#include "options.h"
#include "system.h"

namespace {

// What the command line asks for, and the output laid out from it; their
// tables live as long as the process.
command_line line;
layout laid_out;

using text_buffer = std::unique_ptr<char, decltype(&std::free)>;

// The output path derived from the image's name as the system stores it;
// null when there is no memory for it.
text_buffer output_path_for(const char *input_path)
{
    const char *stored_path = stored_name(input_path);
    text_buffer output_path(static_cast<char *>(std::malloc(output_path_size(stored_path))), &std::free);
    if (output_path != nullptr)
        derive_output_path(stored_path, output_path.get());
    return output_path;
}

// The output's path: the one given with -o, null for "-o -" (standard
// output), else the one derived from the image's, held by `derived`.
const char *output_path_of(const char *output_option, const char *input_path, text_buffer *derived)
{
    if (output_option != nullptr)
        return std::strcmp(output_option, "-") == 0 ? nullptr : output_option;
    *derived = output_path_for(input_path);
    return derived->get();
}

// Creates the output at `output_path`, or takes standard output when it is
// null, never over an image; the exit status.
int create_output(const char *output_path, const layout &laid_out, std::FILE **output)
{
    const bool to_standard_output = output_path == nullptr;
    const std::size_t count = laid_out.source_count;
    switch (to_standard_output ? use_standard_output(laid_out.sources, count, output)
                               : open_output(output_path, laid_out.sources, count, output)) {
    case output_opened:
        return exit_success;
    case output_is_image:
        return fail(exit_cannot_write, "Output file '%s' would overwrite the input\n",
                    to_standard_output ? "-" : output_path);
    case output_failed:
        break;
    }
    if (to_standard_output)
        return fail(exit_cannot_write, "Cannot write standard output\n");
    return fail(exit_cannot_write, "Cannot create file '%s'\n", output_path);
}

// The exit status of a conversion that ended with `result` in `failed`.
int report(convert_result result, const piece &failed, const char *output_path)
{
    switch (result) {
    case converted:
        break;
    case read_failed:
        return fail(exit_cannot_read, "Cannot read file '%s'\n", failed.name);
    case image_changed:
        return fail(exit_cannot_read, "Image '%s' changed while it was read\n", failed.name);
    case write_failed:
        if (output_path == nullptr)
            return fail(exit_cannot_write, "Cannot write standard output\n");
        return fail(exit_cannot_write, "Cannot write file '%s'\n", output_path);
    case image_too_large:
        return refuse_too_large(failed.name, failed.address);
    }
    return exit_success;
}

// The inputs' streams; the output's is closed by then.
void close_inputs(const layout &laid_out)
{
    for (std::size_t i = 0; i < laid_out.source_count; ++i)
        std::fclose(laid_out.sources[i].stream);
}

// The name the output is derived from and warnings speak of: the operand,
// else the first image or file given.
const char *first_input(const command_line &line, const char *operand)
{
    if (operand != nullptr)
        return operand;
    return line.image_count > 0 ? line.images[0].path : line.hex_files[0].path;
}

} // namespace

int fw2hex_main(int argc, char *argv[])
{
    if (!make_command_line(argc, &line))
        return fail(exit_cannot_read, "Out of memory\n");
    int operand = argc;
    switch (scan_command_line(argc, argv, &line, &operand)) {
    case show_help:
        return show_usage(argv[0], exit_success);
    case show_version:
        return print_version();
    case refuse_option:
        return exit_no_input;
    case convert_file:
        break;
    }
    if (operand == argc && line.image_count == 0 && line.hex_count == 0) {
        say(stderr, "No input file specifed.\n\n");
        return show_usage(argv[0], exit_no_input);
    }
    // Without an operand, nothing names the output but -o.
    if (operand == argc && line.output == nullptr)
        return fail(exit_no_input, "No output named: without an image operand, -o is needed\n");
    const char *name = first_input(line, operand < argc ? argv[operand] : nullptr);

    int status = lay_out(&line, &laid_out);
    if (status != exit_success)
        return status;
    text_buffer derived_path(nullptr, &std::free);
    const char *output_path = output_path_of(line.output, name, &derived_path);
    if (line.output == nullptr && output_path == nullptr)
        return fail(exit_cannot_write, "Cannot create file '%s'\n", name);
    std::FILE *output = nullptr;
    status = create_output(output_path, laid_out, &output);
    if (status != exit_success)
        return status;

    bool holds_data = false;
    std::size_t failed = 0;
    convert_result result = convert_pieces(laid_out.pieces, laid_out.piece_count, output, &holds_data, &failed);
    // A write error that only shows at close still fails the run.
    if (std::fclose(output) != 0 && result == converted)
        result = write_failed;
    close_inputs(laid_out);
    if (result == converted && line.verbose)
        show_layout(laid_out);
    if (result == converted && !holds_data)
        say(stderr, "Image '%s' holds no data; the output has only the End Of File record\n", name);
    return report(result, laid_out.pieces[failed], output_path);
}
