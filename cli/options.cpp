#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "files.h"
#include "messages.h"

namespace {

// '+' stops the scan at the first operand, also on glibc, which would
// otherwise move later options (such as "image.bin -s") in front of it.
constexpr char option_letters[] = "+hsa:o:Vm:c:vi:O:";

constexpr std::uint32_t highest_address = 0xFFFFFFFF;

// Hexadecimal with optional white space, sign and 0x; stops at the first
// other character. A leading '-' gives the two's complement, and values
// past 32 bits saturate, so that no address bit is dropped without a word.
// False when no digit is found: an empty variable in a script
// ("-a $APP_ADDR") must not place the image at 0.
bool parse_load_address(const char *text, std::uint32_t *address)
{
    while (std::isspace(static_cast<unsigned char>(*text)) != 0)
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    const char *digits = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text + 2 : text;
    if (std::isxdigit(static_cast<unsigned char>(*digits)) == 0)
        return false;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(text, nullptr, 16);
    const auto value = static_cast<std::uint32_t>(magnitude);
    *address = errno == ERANGE || magnitude > highest_address ? highest_address : negative ? 0u - value : value;
    return true;
}

// An address of the new options: an optional 0x or 0X, then 1 to 8
// hexadecimal digits. A new option has no old callers to keep, so unlike
// -a it is strict. Returns the first character after the digits, or null.
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
    if (*rest == ':' && std::strcmp(rest + 1, "crc32") == 0)
        algorithm = crc_zlib;
    else if (*rest == ':' && std::strcmp(rest + 1, "stm32") != 0) {
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

// "-O FORMAT[:PARAMETERS]"; false, with the message said, when malformed.
bool parse_format(const char *text, command_line *line)
{
    const char *colon = std::strchr(text, ':');
    const std::size_t name_size = colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
    for (std::size_t i = 0; i < file_format_count; ++i) {
        const file_format &format = *file_formats[i];
        if (format.name == nullptr || std::strlen(format.name) != name_size || std::strncmp(format.name, text, name_size) != 0)
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

// "--version" and "--help" where an option may stand, as GNU tools take
// them, not the clusters of letters they would be; convert_file for any
// other argument.
request long_option(const char *argument)
{
    if (std::strcmp(argument, "--version") == 0)
        return show_version;
    return std::strcmp(argument, "--help") == 0 ? show_help : convert_file;
}

// One option and its argument (optarg) into `line`; convert_file to go on.
request take_option(int option, command_line *line)
{
    switch (option) {
    case 'a':
        line->address_given = true;
        if (!parse_load_address(optarg, &load_address)) {
            say(stderr, "Invalid argument '%s' for -a: expected a hexadecimal address, such as 8004000 or 0x8004000\n",
                optarg);
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
             static_cast<part_file *>(std::calloc(room, sizeof(part_file))), 0, false, false, false, nullptr, nullptr};
    return line->images != nullptr && line->crcs != nullptr && line->parts != nullptr;
}

request scan_command_line(int argc, char *argv[], command_line *line, int *operand)
{
    *operand = argc;
    load_address = default_load_address;
    for (;;) {
        const request asked = optind < argc ? long_option(argv[optind]) : convert_file;
        if (asked != convert_file)
            return asked;
        const int option = getopt(argc, argv, option_letters);
        if (option == -1) {
            *operand = optind;
            return take_operand(argc, argv, line);
        }
        const request taken = take_option(option, line);
        if (taken != convert_file)
            return taken;
    }
}
