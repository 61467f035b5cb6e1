// fw2hex: converts a raw STM32 firmware image into an Intel HEX file.
// This is the only place that talks to the user: options, usage text,
// messages and exit statuses.
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <utility>

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
constexpr char option_letters[] = "+hsa:o:Vm:";

// "-o": where the text goes instead of the derived path; "-" is standard output.
const char *output_option = nullptr;

// An image of the output: the operand, or one placed with "-m".
struct image_file {
    const char *path;   // as typed
    std::uint32_t address;
    std::FILE *stream;  // open for binary reading, or null
    std::uint64_t size; // known before reading: images of "-m" must have one
    bool size_known;
};
// The images: the operand first, then those of "-m" in command-line order;
// room for one per argument.
image_file *images = nullptr;
// How many of them are in use.
std::size_t image_count = 0;
// The images' streams and addresses for the conversion, in address order.
image_source *sources = nullptr;

// What the options ask for once scanned.
enum request { convert_file, show_help, show_version, refuse_option };

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

int print_version()
{
    say(stdout, "fw2hex %s\n", FW2HEX_VERSION);
    if (std::fflush(stdout) != 0)
        return fail(exit_cannot_write, "Cannot write standard output\n");
    return exit_success;
}

int refuse_too_large(const char *input_path, std::uint32_t address)
{
    return fail(exit_does_not_fit, "Image '%s' does not fit in the 32-bit address space at 0x%X\n",
                input_path, address);
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

// "-m ADDRESS:IMAGE": 1 to 8 hexadecimal digits after an optional 0x, and
// nothing else before the first ':'; IMAGE, which may hold ':', is the rest.
// A new option has no old callers to keep, so unlike -a it is strict.
bool parse_placed_image(const char *text, image_file *image)
{
    const char *digits = text;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    const std::size_t digit_count = std::strspn(digits, "0123456789abcdefABCDEF");
    if (digit_count == 0 || digit_count > 8 || digits[digit_count] != ':' || digits[digit_count + 1] == '\0')
        return false;
    const auto address = static_cast<std::uint32_t>(std::strtoul(digits, nullptr, 16)); // stops at the ':'
    *image = {digits + digit_count + 1, address, nullptr, 0, false};
    return true;
}

// Room for an image per argument, the operand's place first; the tables
// live as long as the process.
bool make_image_tables(int argc)
{
    const auto room = static_cast<std::size_t>(argc) + 1;
    images = static_cast<image_file *>(std::calloc(room, sizeof(image_file)));
    sources = static_cast<image_source *>(std::calloc(room, sizeof(image_source)));
    image_count = 1; // the operand, filled in once the options are scanned
    return images != nullptr && sources != nullptr;
}

// Scans the options into the settings, up to the first operand or to an
// option that asks for something else than a conversion.
request scan_options(int argc, char *argv[])
{
    for (;;) {
        // "--version" where an option may stand, as GNU tools take it, not
        // the cluster of letters it would be ("-o" then "n"). "--help"
        // keeps its old meaning.
        if (optind < argc && std::strcmp(argv[optind], "--version") == 0)
            return show_version;
        const int option = getopt(argc, argv, option_letters);
        switch (option) {
        case -1:
            return convert_file;
        case 'a':
            load_address = parse_load_address(optarg);
            break;
        case 's':
            ++omit_blank;
            break;
        case 'o':
            output_option = optarg;
            break;
        case 'h':
            return show_help;
        case 'V':
            return show_version;
        case 'm':
            if (!parse_placed_image(optarg, &images[image_count])) {
                say(stderr, "Invalid argument '%s' for -m: expected ADDRESS:IMAGE, ADDRESS in 1 to 8 hexadecimal digits\n",
                    optarg);
                return refuse_option;
            }
            ++image_count;
            break;
        default:
            say(stderr, "getopt returned impossible value: %d ('%c')\n", option, option);
        }
    }
}

int report(convert_result result, const image_file &image, const char *output_path)
{
    switch (result) {
    case converted:
        break;
    case read_failed:
        return fail(exit_cannot_read, "Cannot read file '%s'\n", image.path);
    case write_failed:
        if (output_path == nullptr)
            return fail(exit_cannot_write, "Cannot write standard output\n");
        return fail(exit_cannot_write, "Cannot write file '%s'\n", output_path);
    case image_too_large:
        return refuse_too_large(image.path, image.address);
    }
    return exit_success;
}

// Opens every image and learns its size; the exit status. Beside other
// images, an image must have a known size, so that its place can be
// checked before anything is written.
int open_images()
{
    for (std::size_t i = 0; i < image_count; ++i) {
        image_file &image = images[i];
        if ((image.stream = open_image(image.path)) == nullptr)
            return fail(exit_cannot_read, "Cannot open file '%s'\n", image.path);
        image.size_known = known_image_size(image.stream, &image.size);
    }
    for (std::size_t i = 0; i < image_count; ++i) {
        const image_file &image = images[i];
        if (!image.size_known && image_count > 1)
            return fail(exit_cannot_read,
                        "Image '%s' is not a regular file: beside other images, its size must be known before it is read\n",
                        image.path);
        if (image.size_known && !image_fits(image.size, image.address))
            return refuse_too_large(image.path, image.address);
    }
    return exit_success;
}

// Puts the images in address order (a stable insertion sort: there are few)
// and refuses two that share an address; the exit status. The first address
// two images share is where a later one starts inside an earlier one.
int lay_out_images()
{
    for (std::size_t i = 1; i < image_count; ++i)
        for (std::size_t j = i; j > 0 && images[j - 1].address > images[j].address; --j)
            std::swap(images[j - 1], images[j]);
    const image_file *furthest = nullptr; // the image reaching highest so far
    for (std::size_t i = 0; i < image_count; ++i) {
        const image_file &image = images[i];
        if (image.size == 0)
            continue; // an empty image shares no address
        if (furthest != nullptr && image.address < furthest->address + furthest->size)
            return fail(exit_does_not_fit, "Images '%s' at 0x%X and '%s' at 0x%X overlap from 0x%X\n",
                        furthest->path, furthest->address, image.path, image.address, image.address);
        if (furthest == nullptr || image.address + image.size > furthest->address + furthest->size)
            furthest = &image;
    }
    for (std::size_t i = 0; i < image_count; ++i)
        sources[i] = {images[i].stream, images[i].address};
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

// The output's path: the one given with -o, null for "-o -" (standard
// output), else the one derived from the image's, held by `derived`.
const char *output_path_of(const char *input_path, text_buffer *derived)
{
    if (output_option != nullptr)
        return std::strcmp(output_option, "-") == 0 ? nullptr : output_option;
    *derived = output_path_for(input_path);
    return derived->get();
}

// Creates the output at `output_path`, or takes standard output when it is
// null, never over an image; the exit status.
int create_output(const char *output_path, const image_source *sources, std::FILE **output)
{
    const bool to_standard_output = output_path == nullptr;
    switch (to_standard_output ? use_standard_output(sources, image_count, output)
                               : open_output(output_path, sources, image_count, output)) {
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

} // namespace

int fw2hex_main(int argc, char *argv[])
{
    load_address = default_load_address;
    if (!make_image_tables(argc))
        return fail(exit_cannot_read, "Out of memory\n");
    switch (scan_options(argc, argv)) {
    case show_help:
        return show_usage(argv[0], exit_success);
    case show_version:
        return print_version();
    case refuse_option:
        return exit_no_input;
    case convert_file:
        break;
    }
    if (optind == argc) {
        say(stderr, "No input file specifed.\n\n");
        return show_usage(argv[0], exit_no_input);
    }

    images[0] = {argv[optind], load_address, nullptr, 0, false};
    int status = open_images();
    if (status == exit_success)
        status = lay_out_images();
    if (status != exit_success)
        return status;

    text_buffer derived_path(nullptr, &std::free);
    const char *output_path = output_path_of(argv[optind], &derived_path);
    if (output_option == nullptr && output_path == nullptr)
        return fail(exit_cannot_write, "Cannot create file '%s'\n", argv[optind]);
    std::FILE *output = nullptr;
    status = create_output(output_path, sources, &output);
    if (status != exit_success)
        return status;

    bool holds_data = false;
    std::size_t failed = 0;
    convert_result result = convert_images(sources, image_count, output, &holds_data, &failed);
    // A write error that only shows at close still fails the run.
    if (std::fclose(output) != 0 && result == converted)
        result = write_failed;
    for (std::size_t i = 0; i < image_count; ++i)
        std::fclose(images[i].stream);
    if (result == converted && !holds_data)
        say(stderr, "Image '%s' holds no data; the output has only the End Of File record\n", argv[optind]);
    return report(result, images[failed], output_path);
}
