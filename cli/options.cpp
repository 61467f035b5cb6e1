#include "options.h"

#include <algorithm>
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
    // The MCUboot image, by long name only, as imgtool names its options.
    {"mcuboot", required_argument, nullptr, 'M' + 256},
    {"header-size", required_argument, nullptr, 'H' + 256},
    {"image-version", required_argument, nullptr, 'I' + 256},
    {"align", required_argument, nullptr, 'A' + 256},
    {"max-align", required_argument, nullptr, 'X' + 256},
    {"max-sectors", required_argument, nullptr, 'S' + 256},
    {"overwrite-only", no_argument, nullptr, 'W' + 256},
    {"pad", no_argument, nullptr, 'P' + 256},
    {"confirm", no_argument, nullptr, 'C' + 256},
    {"security-counter", required_argument, nullptr, 'N' + 256},
    {"erased-val", required_argument, nullptr, 'E' + 256},
    {"key", required_argument, nullptr, 'K' + 256},
    {"public-key-format", required_argument, nullptr, 'F' + 256},
    {nullptr, 0, nullptr, 0},
};

// imgtool's defaults: a write size of 1, 128 sectors, erased flash 0xFF.
constexpr mcuboot_request default_image{0, 0, 0, {0, 0, 0, 0}, 1, 0, 128, false, false, false, false, false, 0, 0xFF,
                                       nullptr, false};

constexpr std::uint32_t highest_address = 0xFFFFFFFF;

// Where the white space at `text` ends.
const char *skip_space(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)) != 0)
        ++text;
    return text;
}

// The one reader of the addresses the command line takes (-a, -m, -c,
// --mcuboot): white space, an optional 0x or 0X, 1 to 8 hexadecimal
// digits, white space. Returns the first character after it, or null.
// What follows is judged by the caller, so that "0x0800_0000" or
// "0x08O00000" (a letter O) never places anything at the digits before the
// slip.
const char *read_address(const char *text, std::uint32_t *address)
{
    const char *digits = skip_space(text);
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    const std::size_t digit_count = std::strspn(digits, "0123456789abcdefABCDEF");
    if (digit_count == 0 || digit_count > 8)
        return nullptr;
    *address = static_cast<std::uint32_t>(std::strtoul(digits, nullptr, 16)); // stops after the digits
    return skip_space(digits + digit_count);
}

// -a's address, read whole.
bool parse_load_address(const char *text, std::uint32_t *address)
{
    const char *rest = read_address(text, address);
    return rest != nullptr && *rest == '\0';
}

// After a refused address argument of `option`, whose first `fields`
// fields (between colons) are addresses: the note that addresses are
// hexadecimal, where those fields are all decimal digits and one is more
// than 8 of them, as a decimal address would be.
void say_decimal_hint(const char *option, const char *text, int fields)
{
    const char *longest = nullptr;
    std::size_t longest_size = 0;
    const char *field = text;
    for (int i = 0; i < fields; ++i) {
        field = skip_space(field);
        const std::size_t size = std::strspn(field, "0123456789");
        const char *after = skip_space(field + size);
        if (size == 0 || (*after != '\0' && *after != ':'))
            return; // not a decimal number: the slip is another
        if (size > 8 && longest == nullptr) {
            longest = field;
            longest_size = size;
        }
        if (*after == '\0')
            break;
        field = after + 1;
    }
    if (longest == nullptr)
        return;
    errno = 0;
    const unsigned long long value = std::strtoull(longest, nullptr, 10);
    if (errno == 0 && value <= highest_address)
        say(stderr, "; %s is hexadecimal, and %.*s in decimal is 0x%llX", option, static_cast<int>(longest_size), longest,
            value);
    else
        say(stderr, "; %s is hexadecimal", option);
}

// Refuses -a's text.
void refuse_load_address(const char *text)
{
    say(stderr, "Invalid argument '%s' for -a: expected a hexadecimal address, such as 8004000 or 0x8004000", text);
    say_decimal_hint("-a", text, 1);
    say(stderr, "\n");
}

// "-m ADDRESS:IMAGE": nothing but the address before the first ':'; IMAGE,
// which may hold ':', is the rest.
bool parse_placed_image(const char *text, image_file *image)
{
    std::uint32_t address = 0;
    const char *rest = read_address(text, &address);
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
    const char *rest = read_address(text, &start);
    if (rest != nullptr && *rest == ':')
        rest = read_address(rest + 1, &end);
    else
        rest = nullptr;
    if (rest == nullptr || (*rest != '\0' && *rest != ':')) {
        say(stderr, "Invalid argument '%s' for -c: expected START:END[:ALGORITHM], START and END in 1 to 8 hexadecimal digits",
            text);
        say_decimal_hint("-c", text, 2);
        say(stderr, "\n");
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

// A size or count: decimal, or hexadecimal after 0x or 0X, at most `limit`.
bool parse_count(const char *text, std::uint64_t limit, std::uint32_t *value)
{
    const bool hexadecimal = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hexadecimal ? text + 2 : text;
    const std::size_t size = std::strspn(digits, hexadecimal ? "0123456789abcdefABCDEF" : "0123456789");
    if (size == 0 || digits[size] != '\0')
        return false;
    errno = 0;
    const unsigned long long number = std::strtoull(digits, nullptr, hexadecimal ? 16 : 10);
    if (errno != 0 || number > limit)
        return false;
    *value = static_cast<std::uint32_t>(number);
    return true;
}

// "--mcuboot START:END": the slot, both ends multiples of 4, START below
// END; false, with the message said, when malformed or given twice.
bool parse_slot(const char *text, slot_request *slot)
{
    if (slot->text != nullptr) {
        say(stderr, "--mcuboot is given twice ('%s' and '%s'): fw2hex makes one MCUboot image a run; make each image "
            "in its own run and join them with -i\n", slot->text, text);
        return false;
    }
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    const char *rest = read_address(text, &start);
    if (rest != nullptr && *rest == ':')
        rest = read_address(rest + 1, &end);
    else
        rest = nullptr;
    if (rest == nullptr || *rest != '\0') {
        say(stderr, "Invalid argument '%s' for --mcuboot: expected START:END, the slot's first address and the first "
            "one past it, in 1 to 8 hexadecimal digits", text);
        say_decimal_hint("--mcuboot", text, 2);
        say(stderr, "\n");
        return false;
    }
    if (start >= end) {
        say(stderr, "Invalid argument '%s' for --mcuboot: START must be below END\n", text);
        return false;
    }
    if (start % 4 != 0 || end % 4 != 0) {
        say(stderr, "Invalid argument '%s' for --mcuboot: START and END must be multiples of 4\n", text);
        return false;
    }
    slot->text = text;
    slot->image.start = start;
    slot->image.end = end;
    return true;
}

// A choice among powers of two from `least` to 32.
bool parse_alignment(const char *text, std::uint32_t least, std::uint32_t *value)
{
    return parse_count(text, 32, value) && *value >= least && (*value & (*value - 1)) == 0;
}

// One option of the MCUboot image; false, with the message said, when its
// argument is malformed.
bool take_slot_option(int option, const char *name, slot_request *slot)
{
    mcuboot_request &image = slot->image;
    if (slot->first_option == nullptr && option != 'M' + 256)
        slot->first_option = name;
    std::uint32_t value = 0;
    switch (option) {
    case 'M' + 256:
        return parse_slot(optarg, slot);
    case 'H' + 256:
        if (parse_count(optarg, mcuboot_header_limit, &value) && value >= mcuboot_header_fields && value % 4 == 0) {
            image.header_size = value;
            return true;
        }
        say(stderr, "Invalid argument '%s' for --header-size: expected a multiple of 4 from 32 to 65532, in decimal "
            "or after 0x\n", optarg);
        return false;
    case 'I' + 256:
        if (const char *fault = parse_image_version(optarg, &image.version)) {
            say(stderr, "Invalid argument '%s' for --image-version: %s\n", optarg, fault);
            return false;
        }
        return true;
    case 'A' + 256:
        if (parse_alignment(optarg, 1, &image.align))
            return true;
        say(stderr, "Invalid argument '%s' for --align: expected 1, 2, 4, 8, 16 or 32\n", optarg);
        return false;
    case 'X' + 256:
        slot->max_align_given = true;
        if (parse_alignment(optarg, 8, &image.max_align))
            return true;
        say(stderr, "Invalid argument '%s' for --max-align: expected 8, 16 or 32\n", optarg);
        return false;
    case 'S' + 256:
        if (parse_count(optarg, 0xFFFFFF, &image.max_sectors))
            return true;
        say(stderr, "Invalid argument '%s' for --max-sectors: expected a count up to 16777215, in decimal or after "
            "0x\n", optarg);
        return false;
    case 'W' + 256:
        image.overwrite_only = true;
        return true;
    case 'P' + 256:
        image.pad = true;
        return true;
    case 'C' + 256:
        image.confirm = image.pad = true;
        return true;
    case 'N' + 256:
        image.has_security_counter = true;
        image.security_counter_auto = same_name(optarg, std::strlen(optarg), "auto", 4);
        if (image.security_counter_auto || parse_count(optarg, 0xFFFFFFFF, &image.security_counter))
            return true;
        say(stderr, "Invalid argument '%s' for --security-counter: expected auto, or a number up to 4294967295 in "
            "decimal or after 0x\n", optarg);
        return false;
    case 'K' + 256:
        slot->key_path = optarg;
        return true;
    case 'F' + 256:
        if (same_name(optarg, std::strlen(optarg), "hash", 4) || same_name(optarg, std::strlen(optarg), "full", 4)) {
            image.full_public_key = same_name(optarg, std::strlen(optarg), "full", 4);
            return true;
        }
        say(stderr, "Invalid argument '%s' for --public-key-format: expected hash or full\n", optarg);
        return false;
    default: // 'E' + 256
        if (parse_count(optarg, 0xFF, &value) && (value == 0 || value == 0xFF)) {
            image.erased = static_cast<unsigned char>(value);
            return true;
        }
        say(stderr, "Invalid argument '%s' for --erased-val: expected 0 or 0xff\n", optarg);
        return false;
    }
}

// The long name of the option `option` stands for.
const char *long_name_of(int option)
{
    for (const struct option *known = long_options; known->name != nullptr; ++known)
        if (known->val == option)
            return known->name;
    return "";
}

// One option and its argument (optarg) into `line`; convert_file to go on.
request take_option(int option, command_line *line, const char *program_name)
{
    if (option > 256)
        return take_slot_option(option, long_name_of(option), &line->slot) ? convert_file : refuse_option;
    switch (option) {
    case 'a':
        line->address_given = true;
        if (!parse_load_address(optarg, &line->load_address)) {
            refuse_load_address(optarg);
            return refuse_option;
        }
        return convert_file;
    case 's':
        line->settings.omit_blank = true;
        return convert_file;
    case 'o':
        if (optarg[0] == '\0') {
            say(stderr, "Invalid argument '' for -o: the output name is empty\n");
            return refuse_option;
        }
        line->output = optarg;
        return convert_file;
    case 'h':
        return show_help;
    case 'V':
        return show_version;
    case 'm':
        if (!parse_placed_image(optarg, &line->images[line->image_count])) {
            say(stderr, "Invalid argument '%s' for -m: expected ADDRESS:IMAGE, ADDRESS in 1 to 8 hexadecimal digits",
                optarg);
            say_decimal_hint("-m", optarg, 1);
            say(stderr, "\n");
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
        line->parts[line->part_count++] = {optarg, nullptr, 0, nullptr, {nullptr, 0, 0, 0}};
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
        line->images[0] = {argv[optind], line->load_address, nullptr, 0, false, nullptr, 0};
        line->has_operand = true;
    } else {
        // No operand: the images are those of -m alone.
        --line->image_count;
        std::memmove(line->images, line->images + 1, line->image_count * sizeof(image_file));
    }
    return convert_file;
}

} // namespace

// The written format the extension of `path` names, or null.
const file_format *format_named_by(const char *path)
{
    const char *extension = extension_of(path);
    for (std::size_t i = 0; i < file_format_count && *extension != '\0'; ++i)
        if (file_formats[i]->name != nullptr && extension_in(extension, file_formats[i]->extensions))
            return file_formats[i];
    return nullptr;
}

bool choose_format(command_line *line)
{
    const bool named_file = line->output != nullptr && std::strcmp(line->output, "-") != 0;
    const file_format *named = named_file ? format_named_by(line->output) : nullptr;
    if (line->format != nullptr) {
        // The file is written as asked; its name would have it read as another.
        if (named != nullptr && named != line->format)
            say(stderr, "Output file '%s' is named as %s %s file, and -O %s writes %s %s file\n", line->output,
                named->article, named->title, line->format_text, line->format->article, line->format->title);
        return true;
    }
    line->format = named != nullptr ? named : &intel_hex_format;
    if (line->format->configure(nullptr))
        return true;
    say(stderr, "Output file '%s' is a %s file, which needs -O %s%s\n", line->output, line->format->title,
        line->format->form, line->format->form_help);
    return false;
}

bool check_slot_options(const command_line &line)
{
    const slot_request &slot = line.slot;
    if (slot.text == nullptr && slot.first_option != nullptr) {
        say(stderr, "--%s shapes an MCUboot image, and there is none: give the slot with --mcuboot START:END\n",
            slot.first_option);
        return false;
    }
    if (slot.text == nullptr)
        return true;
    if (slot.max_align_given && slot.image.max_align < slot.image.align) {
        say(stderr, "--max-align %u is below --align %u: the trailer is laid out for the largest write size\n",
            static_cast<unsigned>(slot.image.max_align), static_cast<unsigned>(slot.image.align));
        return false;
    }
    // -s leaves 0xFF out for the flash to read back as 0xFF: where it reads
    // 0x00, the image would no longer be the one hashed.
    if (line.settings.omit_blank && slot.image.erased == 0) {
        say(stderr, "-s leaves 0xFF bytes out for erased flash to supply, and with --erased-val 0 the flash reads "
            "0x00 there, which would change the image that was hashed\n");
        return false;
    }
    return true;
}

bool make_command_line(int argc, command_line *line)
{
    const auto room = static_cast<std::size_t>(argc) + 1;
    *line = {nullptr, static_cast<image_file *>(std::calloc(room, sizeof(image_file))), 1,
             static_cast<crc_request *>(std::calloc(room, sizeof(crc_request))), 0,
             static_cast<part_file *>(std::calloc(room, sizeof(part_file))), 0, false, false, false, false, nullptr,
             nullptr, {nullptr, nullptr, false, nullptr, default_image}, default_load_address, {false}};
    return line->images != nullptr && line->crcs != nullptr && line->parts != nullptr;
}

// The edits (characters inserted, removed or replaced) that turn the
// `length` characters at `typed` into `name`, counted up to 3.
std::size_t edits_between(const char *typed, std::size_t length, const char *name)
{
    constexpr std::size_t longest = 32;
    const std::size_t name_length = std::strlen(name);
    if (length > longest || name_length > longest)
        return 3;
    std::size_t row[longest + 1];
    for (std::size_t j = 0; j <= name_length; ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= length; ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= name_length; ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (typed[i - 1] == name[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return std::min<std::size_t>(row[name_length], 3);
}

// After the scanner's line on a long option it does not know: the one
// name one or two edits away, when there is one.
void suggest_long_option(const char *argument)
{
    if (std::strncmp(argument, "--", 2) != 0)
        return;
    const char *typed = argument + 2;
    const std::size_t length = std::strcspn(typed, "=");
    const char *closest = nullptr;
    std::size_t fewest = 3;
    bool tie = false;
    for (const struct option *known = long_options; known->name != nullptr; ++known) {
        if (std::strncmp(known->name, typed, length) == 0)
            return; // a name it starts: known, or ambiguous, as the scanner said
        const std::size_t edits = edits_between(typed, length, known->name);
        tie = edits == fewest || (tie && edits > fewest);
        if (edits < fewest) {
            fewest = edits;
            closest = known->name;
        }
    }
    if (closest != nullptr && !tie)
        say(stderr, "did you mean --%s?\n", closest);
}

request scan_command_line(int argc, char *argv[], command_line *line, int *operand)
{
    *operand = argc;
    if (asks_for_help(argc, argv))
        return show_help;
    for (;;) {
        const int option = getopt_long(argc, argv, option_letters, long_options, nullptr);
        if (option == -1) {
            *operand = optind;
            return take_operand(argc, argv, line);
        }
        if (option == '?' && optind > 0 && optind <= argc)
            suggest_long_option(argv[optind - 1]);
        const request taken = take_option(option, line, argv[0]);
        if (taken != convert_file)
            return taken;
    }
}
