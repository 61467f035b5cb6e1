// fw2hex: converts raw STM32 firmware images into an Intel HEX file.
// main reads as the program's table of contents; the command line, the
// layout and the messages live in files of their own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "files.h"
#include "convert/convert.h"
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

// The output path derived from the image's name as the system stores it,
// with `extension`; null when there is no memory for it.
text_buffer output_path_for(const char *input_path, const char *extension)
{
    const char *stored_path = stored_name(input_path);
    text_buffer output_path(static_cast<char *>(std::malloc(output_path_size(stored_path, extension))), &std::free);
    if (output_path != nullptr)
        derive_output_path(stored_path, extension, output_path.get());
    return output_path;
}

// The output's path: the one given with -o, null for "-o -" (standard
// output), else the one derived from the image's, held by `derived`.
const char *output_path_of(const command_line &line, const char *input_path, text_buffer *derived)
{
    if (line.output != nullptr)
        return std::strcmp(line.output, "-") == 0 ? nullptr : line.output;
    *derived = output_path_for(input_path, line.format->extension);
    return derived->get();
}

// Creates the output at `output_path`, or takes standard output when it is
// null, never over an image, and starts its format; the exit status.
int create_output(const char *output_path, const layout &laid_out, const file_format &format, std::FILE **output)
{
    const bool to_standard_output = output_path == nullptr;
    const std::size_t count = laid_out.source_count;
    switch (to_standard_output ? use_standard_output(laid_out.sources, count, output)
                               : open_output(output_path, laid_out.sources, count, output)) {
    case output_opened:
        if (format.writer.start(*output, to_standard_output ? "" : file_name_of(output_path), &laid_out.runs,
                                laid_out.entry))
            return exit_success;
        break;
    case output_is_image:
        return fail(exit_cannot_write, "Output file '%s' would overwrite the input\n",
                    to_standard_output ? "-" : output_path);
    case output_failed:
        break;
    }
    const system_error error = last_system_error();
    if (to_standard_output)
        return fail_for(exit_cannot_write, error, "Cannot write standard output");
    return fail_for(exit_cannot_write, error, "Cannot create file '%s'", output_path);
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
    return line.image_count > 0 ? line.images[0].path : line.parts[0].path;
}

// Refuses what the options ask for together but cannot be done, with the
// format chosen; the exit status.
int check_request(command_line *line, bool has_operand, const char *program_name)
{
    const bool to_standard_output = line->output != nullptr && std::strcmp(line->output, "-") == 0;
    if (!has_operand && line->image_count == 0 && line->part_count == 0) {
        say(stderr, "No input file specifed.\n\n");
        // Not into the output's stream: a pipeline would take the usage text for a file.
        return show_usage(to_standard_output ? stderr : stdout, program_name, exit_no_input);
    }
    // Without an operand, nothing names the output but -o.
    if (!has_operand && line->output == nullptr)
        return fail(exit_no_input, "No output named: without an image operand, -o is needed\n");
    if (has_operand && line->output == nullptr && std::strcmp(line->images[0].path, "-") == 0)
        return fail(exit_no_input, "No output named: the image comes from standard input; name the output with -o\n");
    // -a places the operand and nothing else: the parts and the images of
    // -m say where they go.
    if (!has_operand && line->address_given)
        return fail(exit_no_input, "-a places the image operand, and there is none: the images of -m and the parts of -i "
                    "say where they go\n");
    if (!check_slot_options(*line) || !choose_format(line))
        return exit_no_input;
    if (line->settings.omit_blank && !line->format->has_addresses)
        return fail(exit_no_input, "-s cannot leave bytes out of a %s file, which holds every byte from its lowest "
                    "address to its highest\n", line->format->title);
    return exit_success;
}

} // namespace

int fw2hex_main(int argc, char *argv[])
{
    if (!make_command_line(argc, &line))
        return fail(exit_cannot_read, "Out of memory\n");
    int operand = argc;
    switch (scan_command_line(argc, argv, &line, &operand)) {
    case show_help:
        return show_usage(stdout, argv[0], exit_success);
    case show_version:
        return print_version();
    case refuse_option:
        return exit_no_input;
    case convert_file:
        break;
    }
    int status = check_request(&line, operand < argc, argv[0]);
    if (status != exit_success)
        return status;
    const char *name = first_input(line, operand < argc ? argv[operand] : nullptr);

    status = lay_out(&line, &laid_out);
    if (status == exit_success)
        status = plan_output(line, &laid_out);
    if (status != exit_success)
        return status;
    // An output path is derived from a file's name, not from a pipe's or a device's.
    if (line.output == nullptr && !line.operand_regular)
        return fail(exit_no_input, "No output named: '%s' is not a regular file, so no output path is derived from it; "
                    "name the output with -o\n", name);
    text_buffer derived_path(nullptr, &std::free);
    const char *output_path = output_path_of(line, name, &derived_path);
    if (line.output == nullptr && output_path == nullptr)
        return fail(exit_cannot_write, "Cannot create file '%s'\n", name);
    std::FILE *output = nullptr;
    status = create_output(output_path, laid_out, *line.format, &output);
    if (status != exit_success)
        return status;

    bool holds_data = false;
    std::size_t failed = 0;
    convert_result result = convert_pieces(laid_out.pieces, laid_out.piece_count, line.format->writer, line.settings, &holds_data,
                                           &failed);
    system_error error = last_system_error(); // why it stopped, before other calls change it
    // A write error that only shows at close still fails the run.
    if (std::fclose(output) != 0 && result == converted) {
        result = write_failed;
        error = last_system_error();
    }
    if (result == converted && line.verbose)
        show_layout(laid_out, *line.format);
    close_inputs(laid_out);
    if (result == converted && !holds_data)
        say(stderr, "Image '%s' holds no data; %s\n", name, line.format->empty_note);
    return report(result, laid_out.pieces[failed], output_path, error);
}
