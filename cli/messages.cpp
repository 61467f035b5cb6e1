#include "messages.h"

#include <cstdarg>

#include "convert/convert.h"
#include "system.h"

void say(std::FILE *stream, const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    print_text(stream, format, arguments);
    va_end(arguments);
}

int fail(int status, const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    print_text(stderr, format, arguments);
    va_end(arguments);
    return status;
}

int fail_for(int status, const system_error &error, const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    print_text(stderr, format, arguments);
    va_end(arguments);
    // A stream that ended early is no failure of the system's: it has no reason to give.
    if (error.number != 0 || error.code != 0)
        say(stderr, ": %s", system_reason(error));
    say(stderr, "\n");
    return status;
}

int refuse_too_large(const char *path, std::uint32_t address)
{
    return fail(exit_does_not_fit, "Image '%s' does not fit in the 32-bit address space at 0x%X\n", path, address);
}

int show_usage(std::FILE *stream, const char *program_name, int status)
{
    say(stream, "Binary STM32 to iHex\n"
                "Options:\n"
                "\t-a #\tloading address (default is 0x%x)\n"
                "\t-s\tsave space by ommiting regions of 0xff\n"
                "\t-h\thelp\n"
                "Example: %s binary_image\n"
                "\t-o file\twrite to file instead of the image's name with .hex (- for standard output)\n"
                "\t-O format\toutput format: hex, bin, dfu[:VID:PID], srec or uf2:FAMILY\n"
                "\t-m #:file\tadd the image file at address #\n"
                "\t-i file\tadd the data of the file (ELF, Intel HEX, S-records, DfuSe or UF2)\n"
                "\t-c #:#[:alg]\tadd the CRC (stm32 or crc32) of the region from the first # up to the second, at the second\n"
                "\t-v\tshow the layout on standard error\n"
                "\t-V\tversion (also --version; --help is -h)\n"
                "\t--mcuboot #:#\tmake the MCUboot image of the slot from the first # up to the second, shaped by "
                "--header-size, --image-version, --align, --max-align, --max-sectors, --overwrite-only, --pad, "
                "--confirm, --security-counter, --erased-val, --key and --public-key-format, as imgtool's options of those "
                "names\n"
                "Long options: --address (-a), --omit-blank (-s), --output (-o), --format (-O), --merge (-m), "
                "--input (-i), --crc (-c), --verbose (-v), --version (-V), --help (-h); --name=value or --name value\n",
        default_load_address, program_name);
    if (std::fflush(stream) != 0 && stream == stdout)
        return fail_for(exit_cannot_write, last_system_error(), "Cannot write standard output");
    return status;
}

int print_version()
{
    say(stdout, "fw2hex %s\n", FW2HEX_VERSION);
    if (std::fflush(stdout) != 0)
        return fail_for(exit_cannot_write, last_system_error(), "Cannot write standard output");
    return exit_success;
}

// The exit status of a conversion that ended with `result` in `failed`.
int report(convert_result result, const piece &failed, const char *output_path, const system_error &error)
{
    switch (result) {
    case converted:
        break;
    case read_failed:
        return fail_for(exit_cannot_read, error, "Cannot read file '%s'", failed.name);
    case image_changed:
        return fail(exit_cannot_read, "Image '%s' changed while it was read\n", failed.name);
    case write_failed:
        if (output_path == nullptr)
            return fail_for(exit_cannot_write, error, "Cannot write standard output");
        return fail_for(exit_cannot_write, error, "Cannot write file '%s'", output_path);
    case image_too_large:
        return refuse_too_large(failed.name, failed.address);
    case out_of_memory:
        return fail(exit_cannot_read, "Out of memory\n");
    case signing_failed:
        return fail(exit_cannot_read, "The crypto library could not sign the MCUboot image\n");
    }
    return exit_success;
}

