// Shared helpers of the tests: images, temporary folders, running the
// program, and a strict Intel HEX reader independent of the writer.
#ifndef FW2HEX_TEST_SUPPORT_H
#define FW2HEX_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "hex_reader.h"

using bytes = std::vector<std::uint8_t>;

// Concatenation helpers for building images in tables.
bytes repeat(std::size_t count, std::uint8_t value);
bytes counting(std::size_t count, std::uint8_t first = 0); // first, first+1, ...
bytes operator+(bytes left, const bytes &right);
// Random bytes broken by blank runs of random length (some whole blocks).
bytes random_image(std::size_t size, unsigned seed);

// A linked little-endian ELF32: each (name, address, load address, bytes)
// a section in a loadable segment of its own, as a linker places .text in
// flash and .data in RAM, loaded behind it.
struct elf_section {
    std::string name;
    std::uint32_t address, load;
    bytes data;
};
std::string elf_file(const std::vector<elf_section> &sections);

// A DfuSe file: each target with its alternate setting and name (unnamed
// when empty) holds one element; the device's IDs in the suffix. The first
// target's size field says `target_extra` bytes more than it holds, and the
// prefix's image size counts the suffix when `size_with_suffix`.
struct dfuse_target {
    unsigned alternate;
    std::string name;
    std::uint32_t address;
    bytes data;
};
std::string dfuse_file(const std::vector<dfuse_target> &targets, std::uint16_t vendor = 0x0483,
                       std::uint16_t product = 0xDF11, std::uint32_t target_extra = 0, bool size_with_suffix = false);

// One S-record of `type` with a `size`-byte address, its count and checksum right.
std::string s_record(unsigned type, std::uint32_t address, unsigned size, const bytes &data);

// The CRCs of -c computed bit by bit, the slow way, to check the fast ones:
// the STM32 CRC unit's (whole words, little-endian) and zlib's.
std::uint32_t bitwise_stm32_crc(const std::uint8_t *data, std::size_t size);
std::uint32_t bitwise_zlib_crc(const std::uint8_t *data, std::size_t size);

// `text` with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string &from, const std::string &to);

// One Intel HEX record, its checksum right, ending in LF.
std::string hex_line(unsigned type, unsigned offset, const bytes &data);
// Intel HEX text of `data` at `address`: a first data record of `first`
// bytes, then records of 16 going on linearly, across 64 KiB as Intel
// defines it, an Extended Linear Address record where a segment starts.
std::string hex_text(std::uint32_t address, const bytes &data, std::size_t first);

// A fresh temporary folder, removed with its contents when the object dies.
struct temp_dir {
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string path;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const bytes &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);

struct run_result {
    int status; // exit status as the shell sees it (0..255)
    std::string out, err;
};
struct run_options {
    std::string stdout_path; // where standard output is appended, when not captured
    std::string program;     // run by this path (relative to the folder), not as "fw2hex"
    bool close_fails = false; // closing a ".hex" file reports an I/O error
    bool stdout_closed = false; // run with standard output closed (">&-")
    std::string stdin_path = ""; // standard input comes from this file (relative to the folder), when given
    std::string temp_folder = ""; // TMPDIR, when given
};
// Runs fw2hex in `dir`, by default with argv[0] "fw2hex", under a file size
// limit of 64 MiB, so that a runaway output ends it at once.
run_result run_fw2hex(const std::string &dir, const std::vector<std::string> &args,
                      const run_options &options = {});

// What a shell command writes on standard output.
std::string output_of(const std::string &command);

// Converts an in-memory image with convert_image; `result` gets its value.
std::string convert(const bytes &image, std::uint32_t load, int omit, int *result = nullptr);

#endif
