#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "files.h"
#include "messages.h"

namespace {

// '+' stops the scan at the first operand, also on glibc, which would
// otherwise move later options (such as "image.bin -s") in front of it.
constexpr char option_letters[] = "+hsa:o:Vm:c:vi:O:";
// The same options by the names GNU tools would give them; "--name=value"
// and "--name value" both work, as does any unambiguous start of a name.
const option long_options[] = {
    {"address", required_argument, nullptr, 'a'}, {"omit-blank", no_argument, nullptr, 's'},
    {"output", required_argument, nullptr, 'o'},  {"format", required_argument, nullptr, 'O'},
    {"merge", required_argument, nullptr, 'm'},   {"input", required_argument, nullptr, 'i'},
    {"crc", required_argument, nullptr, 'c'},     {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},       {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

constexpr std::uint32_t highest_address = 0xFFFFFFFF;

// An address: an optional 0x or 0X, then 1 to 8 hexadecimal digits.
// Returns the first character after the digits, or null.
const char *parse_strict_address(const char *text, std::uint32_t *address)
{
    const char *digits = text;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    const std::size_t digit_count = std::strspn(digits, "0123456789abcdefABCDEF");
    if (digit_count == 0 || digit_count > 8)
        return nullptr;
    *address = static_cast<std::uint32_t>(std::strtoul(digits, nullptr, 16)); // stops after the digits
    return digits + digit_count;
}

// -a's address, read whole, as -m and -c read theirs, with white space
// around it allowed: "0x0800_0000" or "0x08O00000" (a letter O) must not
// place the image at the digits before the slip.
bool parse_load_address(const char *text, std::uint32_t *address)
{
    while (std::isspace(static_cast<unsigned char>(*text)) != 0)
        ++text;
    const char *rest = parse_strict_address(text, address);
    if (rest == nullptr)
        return false;
    while (std::isspace(static_cast<unsigned char>(*rest)) != 0)
        ++rest;
    return *rest == '\0';
}

// Refuses -a's text: with the note that -a is hexadecimal where it looks
// like a decimal address (more than 8 decimal digits).
void refuse_load_address(const char *text)
{
    say(stderr, "Invalid argument '%s' for -a: expected a hexadecimal address, such as 8004000 or 0x8004000", text);
    const std::size_t size = std::strlen(text);
    if (size > 8 && std::strspn(text, "0123456789") == size) {
        errno = 0;
        const unsigned long long value = std::strtoull(text, nullptr, 10);
        if (errno == 0 && value <= highest_address)
            say(stderr, "; -a is hexadecimal, and %s in decimal is 0x%llX", text, value);
        else
            say(stderr, "; -a is hexadecimal");
    }
    say(stderr, "\n");
}

// "-m ADDRESS:IMAGE": nothing but the address before the first ':'; IMAGE,
// which may hold ':', is the rest.
bool parse_placed_image(const char *text, image_file *image)
{
    std::uint32_t address = 0;
    const char *rest = parse_strict_address(text, &address);
    if (rest == nullptr || rest[0] != ':' || rest[1] == '\0')
        return false;
    *image = {rest + 1, address, nullptr, 0, false, nullptr, 0};
    return true;
}

// True when the `size` characters at `text` spell the `name_size`
// characters of `name` (lower case) in any case.
bool same_name(const char *text, std::size_t size, const char *name, std::size_t name_size)
{
    if (size != name_size)
        return false;
    for (std::size_t i = 0; i < size; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != name[i])
            return false;
    return true;
}

// "-c START:END[:ALGORITHM]"; false, with the message said, when malformed.
bool parse_crc(const char *text, crc_request *crc)
{
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    const char *rest = parse_strict_address(text, &start);
    if (rest != nullptr && *rest == ':')
        rest = parse_strict_address(rest + 1, &end);
    else
        rest = nullptr;
    if (rest == nullptr || (*rest != '\0' && *rest != ':')) {
        say(stderr, "Invalid argument '%s' for -c: expected START:END[:ALGORITHM], START and END in 1 to 8 hexadecimal digits\n",
            text);
        return false;
    }
    crc_algorithm algorithm = crc_stm32;
    const std::size_t name_size = *rest == ':' ? std::strlen(rest + 1) : 0;
    if (*rest == ':' && same_name(rest + 1, name_size, "crc32", 5))
        algorithm = crc_zlib;
    else if (*rest == ':' && !same_name(rest + 1, name_size, "stm32", 5)) {
        say(stderr, "Invalid argument '%s' for -c: unknown algorithm '%s', expected stm32 or crc32\n", text, rest + 1);
        return false;
    }
    if (start >= end) {
        say(stderr, "Invalid argument '%s' for -c: START must be below END\n", text);
        return false;
    }
    // The CRC unit takes whole words, and the word is read where it lies.
    if (algorithm == crc_stm32 && (start % 4 != 0 || end % 4 != 0)) {
        say(stderr, "Invalid argument '%s' for -c: with stm32, START and END must be multiples of 4\n", text);
        return false;
    }
    crc->text = text;
    crc->region = {start, end, algorithm, {}, nullptr, 0};
    return true;
}

// The forms of every format's argument, for a message: "hex, bin, ... or uf2:FAMILY".
void say_formats()
{
    std::size_t written = 0; // formats that are written
    while (written < file_format_count && file_formats[written]->name != nullptr)
        ++written;
    for (std::size_t i = 0; i < written; ++i)
        say(stderr, "%s%s", i == 0 ? "" : i + 1 < written ? ", " : " or ", file_formats[i]->form);
}

// True when the `size` characters at `text` name `format`, in any case, by
// its name or one of its other names.
bool names_format(const char *text, std::size_t size, const file_format &format)
{
    if (same_name(text, size, format.name, std::strlen(format.name)))
        return true;
    for (const char *other = format.other_names; *other != '\0'; other = std::strchr(other, ' ') + 1)
        if (same_name(text, size, other, static_cast<std::size_t>(std::strchr(other, ' ') - other)))
            return true;
    return false;
}

// "-O FORMAT[:PARAMETERS]"; false, with the message said, when malformed.
bool parse_format(const char *text, command_line *line)
{
    const char *colon = std::strchr(text, ':');
    const std::size_t name_size = colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
    for (std::size_t i = 0; i < file_format_count; ++i) {
        const file_format &format = *file_formats[i];
        if (format.name == nullptr || !names_format(text, name_size, format))
            continue;
        if (!format.configure(colon != nullptr ? colon + 1 : nullptr)) {
            say(stderr, "Invalid argument '%s' for -O: expected %s%s\n", text, format.form, format.form_help);
            return false;
        }
        line->format = &format;
        line->format_text = text;
        return true;
    }
    say(stderr, "Invalid argument '%s' for -O: unknown format, expected ", text);
    say_formats();
    say(stderr, "\n");
    return false;
}

// True when `extension` is one of `extensions` ("... .ext ..."), in any case.
bool extension_in(const char *extension, const char *extensions)
{
    const std::size_t size = std::strlen(extension);
    for (const char *at = extensions; *at != '\0'; at = std::strchr(at, ' ') + 1) {
        std::size_t i = 0;
        while (i < size && std::tolower(static_cast<unsigned char>(extension[i])) == at[i])
            ++i;
        if (i == size && at[i] == ' ')
            return true;
    }
    return false;
}

// True when the long option `argument` ("--out", "--output=x") names, or
// starts the names of, options that all take an argument.
bool long_option_takes_argument(const char *argument)
{
    const char *name = argument + 2;
    const std::size_t size = std::strcspn(name, "=");
    bool any = false;
    for (const option *known = long_options; known->name != nullptr; ++known)
        if (std::strncmp(known->name, name, size) == 0) {
            if (known->has_arg == no_argument)
                return false;
            any = true;
        }
    return any && name[size] != '=';
}

// True when a cluster of option letters ("svh") holds -h before a letter
// that takes an argument; `takes_next` when that argument is the next word.
bool cluster_asks_for_help(const char *letters, bool *takes_next)
{
    for (const char *letter = letters; *letter != '\0'; ++letter) {
        if (*letter == 'h')
            return true;
        if (std::strchr("aoOmci", *letter) != nullptr) {
            *takes_next = letter[1] == '\0';
            return false;
        }
    }
    return false;
}

// True when -h or --help stands anywhere on the line as an option, also
// after the operand (not as another option's argument, nor after "--"):
// help asked for is given whatever else the line holds.
bool asks_for_help(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--") == 0)
            return false;
        if (argument[0] != '-' || argument[1] == '\0')
            continue; // an operand, or "-" for standard input
        if (argument[1] == '-') {
            if (std::strcmp(argument, "--help") == 0)
                return true;
            i += long_option_takes_argument(argument) ? 1 : 0;
            continue;
        }
        bool takes_next = false;
        if (cluster_asks_for_help(argument + 1, &takes_next))
            return true;
        i += takes_next ? 1 : 0;
    }
    return false;
}

// One option and its argument (optarg) into `line`; convert_file to go on.
request take_option(int option, command_line *line, const char *program_name)
{
    switch (option) {
    case 'a':
        line->address_given = true;
        if (!parse_load_address(optarg, &load_address)) {
            refuse_load_address(optarg);
            return refuse_option;
        }
        return convert_file;
    case 's':
        ++omit_blank;
        return convert_file;
    case 'o':
        line->output = optarg;
        return convert_file;
    case 'h':
        return show_help;
    case 'V':
        return show_version;
    case 'm':
        if (!parse_placed_image(optarg, &line->images[line->image_count])) {
            say(stderr, "Invalid argument '%s' for -m: expected ADDRESS:IMAGE, ADDRESS in 1 to 8 hexadecimal digits\n",
                optarg);
            return refuse_option;
        }
        ++line->image_count;
        return convert_file;
    case 'c':
        if (!parse_crc(optarg, &line->crcs[line->crc_count]))
            return refuse_option;
        ++line->crc_count;
        return convert_file;
    case 'v':
        line->verbose = true;
        return convert_file;
    case 'i':
        line->parts[line->part_count++] = {optarg, nullptr, 0, nullptr, {nullptr, 0, 0}};
        return convert_file;
    case 'O':
        return parse_format(optarg, line) ? convert_file : refuse_option;
    default:
        // The scanner has said what is wrong; going on would convert
        // without what the user meant ("-I part.hex" for "-i").
        say(stderr, "getopt returned impossible value: %d ('%c')\n", option, option);
        say(stderr, "Try '%s -h' for the options.\n", program_name);
        return refuse_option;
    }
}

// The operand at optind, where the options end: the first image, or none.
request take_operand(int argc, char *argv[], command_line *line)
{
    // Only the operand is converted: whatever follows it would be dropped
    // in silence ("fw2hex app.bin -o build/app.hex").
    if (optind + 1 < argc) {
        say(stderr, "Argument '%s' after the image '%s' is not used: options go before the image, and further "
            "images are added with -m ADDRESS:IMAGE or -i FILE\n", argv[optind + 1], argv[optind]);
        return refuse_option;
    }
    if (optind < argc) {
        line->images[0] = {argv[optind], load_address, nullptr, 0, false, nullptr, 0};
        line->has_operand = true;
    } else {
        // No operand: the images are those of -m alone.
        --line->image_count;
        std::memmove(line->images, line->images + 1, line->image_count * sizeof(image_file));
    }
    return convert_file;
}

} // namespace

bool choose_format(command_line *line)
{
    if (line->format != nullptr)
        return true;
    line->format = &intel_hex_format;
    if (line->output == nullptr || std::strcmp(line->output, "-") == 0)
        return true;
    const char *extension = extension_of(line->output);
    for (std::size_t i = 0; i < file_format_count && *extension != '\0'; ++i)
        if (file_formats[i]->name != nullptr && extension_in(extension, file_formats[i]->extensions)) {
            line->format = file_formats[i];
            break;
        }
    if (line->format->configure(nullptr))
        return true;
    say(stderr, "Output file '%s' is a %s file, which needs -O %s%s\n", line->output, line->format->title,
        line->format->form, line->format->form_help);
    return false;
}

bool make_command_line(int argc, command_line *line)
{
    const auto room = static_cast<std::size_t>(argc) + 1;
    *line = {nullptr, static_cast<image_file *>(std::calloc(room, sizeof(image_file))), 1,
             static_cast<crc_request *>(std::calloc(room, sizeof(crc_request))), 0,
             static_cast<part_file *>(std::calloc(room, sizeof(part_file))), 0, false, false, false, false, nullptr,
             nullptr};
    return line->images != nullptr && line->crcs != nullptr && line->parts != nullptr;
}

request scan_command_line(int argc, char *argv[], command_line *line, int *operand)
{
    *operand = argc;
    load_address = default_load_address;
    if (asks_for_help(argc, argv))
        return show_help;
    for (;;) {
        const int option = getopt_long(argc, argv, option_letters, long_options, nullptr);
        if (option == -1) {
            *operand = optind;
            return take_operand(argc, argv, line);
        }
        const request taken = take_option(option, line, argv[0]);
        if (taken != convert_file)
            return taken;
    }
}
