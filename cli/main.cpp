// fw2hex: converts a raw STM32 firmware image into an Intel HEX file.
// This is the only place that talks to the user: options, usage text,
// messages and exit statuses.
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "files.h"
#include "ihex/ihex.h"
#include "system.h"

namespace {

// Each failure class has its own status: -1 to -4 as a POSIX shell sees
// them, given as such so that Windows, which keeps all 32 bits, reports the
// same numbers, and "if errorlevel 1" catches every failure there.
enum exit_status {
    exit_success = 0,
    exit_no_input = 255,     // no image named
    exit_cannot_read = 254,  // the image cannot be opened or read
    exit_cannot_write = 253, // the output cannot be created or written
    exit_does_not_fit = 252, // the image would pass the top of the address space
};

// '+' stops the scan at the first operand, also on glibc, which would
// otherwise move later options (such as "image.bin -s") in front of it.
constexpr char option_letters[] = "+hsa:";

constexpr std::uint32_t highest_address = 0xFFFFFFFF;

// Every text for the user goes out here, in UTF-8.
__attribute__((format(printf, 2, 3))) void say(std::FILE *stream, const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    print_text(stream, format, arguments);
    va_end(arguments);
}

void print_usage(const char *program_name)
{
    say(stdout, "Binary STM32 to iHex\n"
                "Options:\n"
                "\t-a #\tloading address (default is 0x%x)\n"
                "\t-s\tsave space by ommiting regions of 0xff\n"
                "\t-h\thelp\n"
                "Example: %s binary_image\n",
        default_load_address, program_name);
}

__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    print_text(stderr, format, arguments);
    va_end(arguments);
    return status;
}

int show_usage(const char *program_name, int status)
{
    print_usage(program_name);
    if (std::fflush(stdout) != 0)
        return fail(exit_cannot_write, "Cannot write standard output\n");
    return status;
}

int refuse_too_large(const char *input_path)
{
    return fail(exit_does_not_fit, "Image '%s' does not fit in the 32-bit address space at 0x%X\n",
                input_path, load_address);
}

// Hexadecimal with optional white space, sign and 0x; stops at the first
// other character; no digits gives 0. A leading '-' gives the two's
// complement, and values past 32 bits saturate, so that no address bit
// is dropped without a word.
std::uint32_t parse_load_address(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)) != 0)
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (std::isxdigit(static_cast<unsigned char>(*text)) == 0)
        return 0;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(text, nullptr, 16);
    if (errno == ERANGE || magnitude > highest_address)
        return highest_address;
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

// Scans the options into the settings; false when "-h" asks for the usage.
bool scan_options(int argc, char *argv[])
{
    int option;
    while ((option = getopt(argc, argv, option_letters)) != -1) {
        switch (option) {
        case 'a':
            load_address = parse_load_address(optarg);
            break;
        case 's':
            ++omit_blank;
            break;
        case 'h':
            return false;
        default:
            say(stderr, "getopt returned impossible value: %d ('%c')\n", option, option);
        }
    }
    return true;
}

int report(convert_result result, const char *input_path, const char *output_path)
{
    switch (result) {
    case converted:
        break;
    case read_failed:
        return fail(exit_cannot_read, "Cannot read file '%s'\n", input_path);
    case write_failed:
        return fail(exit_cannot_write, "Cannot write file '%s'\n", output_path);
    case image_too_large:
        return refuse_too_large(input_path);
    }
    return exit_success;
}

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

// Creates the output, never over the image; the exit status.
int create_output(const char *output_path, std::FILE *input, std::FILE **output)
{
    switch (open_output(output_path, input, output)) {
    case output_opened:
        return exit_success;
    case output_is_image:
        return fail(exit_cannot_write, "Output file '%s' would overwrite the input\n", output_path);
    case output_failed:
        break;
    }
    return fail(exit_cannot_write, "Cannot create file '%s'\n", output_path);
}

} // namespace

int fw2hex_main(int argc, char *argv[])
{
    load_address = default_load_address;
    if (!scan_options(argc, argv))
        return show_usage(argv[0], exit_success);
    if (optind == argc) {
        say(stderr, "No input file specifed.\n\n");
        return show_usage(argv[0], exit_no_input);
    }

    const char *input_path = argv[optind];
    std::FILE *input = open_image(input_path);
    if (input == nullptr)
        return fail(exit_cannot_read, "Cannot open file '%s'\n", input_path);
    std::uint64_t image_size = 0;
    if (known_image_size(input, &image_size) && !image_fits(image_size))
        return refuse_too_large(input_path);

    const text_buffer output_buffer = output_path_for(input_path);
    const char *output_path = output_buffer.get();
    if (output_path == nullptr)
        return fail(exit_cannot_write, "Cannot create file '%s'\n", input_path);
    std::FILE *output = nullptr;
    const int status = create_output(output_path, input, &output);
    if (status != exit_success)
        return status;

    convert_result result = convert_image(input, output);
    // A write error that only shows at close still fails the run.
    if (std::fclose(output) != 0 && result == converted)
        result = write_failed;
    std::fclose(input);
    return report(result, input_path, output_path);
}
