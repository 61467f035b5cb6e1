#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "conversion_support.h"

bytes repeat(std::size_t count, std::uint8_t value) { return bytes(count, value); }

std::string s_record(unsigned type, std::uint32_t address, unsigned size, const bytes &data)
{
    bytes record{static_cast<std::uint8_t>(size + data.size() + 1)};
    for (unsigned i = size; i-- > 0;)
        record.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    record = record + data;
    unsigned sum = 0;
    for (const std::uint8_t byte : record)
        sum += byte;
    record.push_back(static_cast<std::uint8_t>(~sum));
    std::string text = "S" + std::to_string(type);
    for (const std::uint8_t byte : record)
        text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return text + "\n";
}

std::string dfuse_file(const std::vector<dfuse_target> &targets, std::uint16_t vendor, std::uint16_t product,
                       std::uint32_t target_extra, bool size_with_suffix)
{
    const auto le = [](std::uint64_t value, std::size_t size) {
        std::string out;
        for (std::size_t i = 0; i < size; ++i)
            out.push_back(static_cast<char>(value >> (8 * i)));
        return out;
    };
    std::string body;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const dfuse_target &target = targets[i];
        body += "Target" + le(target.alternate, 1) + le(target.name.empty() ? 0 : 1, 4) + target.name +
                std::string(255 - target.name.size(), '\0') + le(8 + target.data.size() + (i == 0 ? target_extra : 0), 4) +
                le(1, 4) + le(target.address, 4) + le(target.data.size(), 4) +
                std::string(target.data.begin(), target.data.end());
    }
    std::string file = "DfuSe\x01" + le(11 + body.size() + (size_with_suffix ? 16 : 0), 4) + le(targets.size(), 1) + body +
                       "\xFF\xFF" + le(product, 2) + le(vendor, 2) + "\x1A\x01UFD\x10";
    return file + le(~bitwise_zlib_crc(reinterpret_cast<const std::uint8_t *>(file.data()), file.size()), 4);
}

std::string elf_file(const std::vector<elf_section> &sections)
{
    std::string out;
    const auto word = [&out](std::uint32_t value, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            out.push_back(static_cast<char>(value >> (8 * i)));
    };
    std::string names(1, '\0');
    std::uint32_t offset = 52 + 32 * static_cast<std::uint32_t>(sections.size());
    std::uint32_t body_size = 0;
    for (const elf_section &section : sections) {
        names += section.name + '\0';
        body_size += static_cast<std::uint32_t>(section.data.size());
    }
    const auto shoff = offset + body_size + static_cast<std::uint32_t>(names.size() + 10);
    out = std::string("\x7F" "ELF\x01\x01\x01", 7) + std::string(9, '\0');
    for (const std::uint32_t field : {2u, 40u, 1u})
        word(field, field == 1 ? 4 : 2);
    for (const std::uint32_t field : {sections[0].address, 52u, shoff, 0x05000000u})
        word(field, 4);
    for (const std::uint32_t field : {52u, 32u, static_cast<std::uint32_t>(sections.size()), 40u,
                                      static_cast<std::uint32_t>(sections.size() + 2), static_cast<std::uint32_t>(sections.size() + 1)})
        word(field, 2);
    for (const elf_section &section : sections) {
        for (const std::uint32_t field : {1u, offset, section.address, section.load})
            word(field, 4);
        for (const std::uint32_t field : {static_cast<std::uint32_t>(section.data.size()), static_cast<std::uint32_t>(section.data.size()), 5u, 4u})
            word(field, 4);
        offset += static_cast<std::uint32_t>(section.data.size());
    }
    for (const elf_section &section : sections)
        out.append(section.data.begin(), section.data.end());
    out += names + ".shstrtab" + '\0';
    out.append(40, '\0');
    std::uint32_t name_at = 1;
    offset = 52 + 32 * static_cast<std::uint32_t>(sections.size());
    for (const elf_section &section : sections) {
        for (const std::uint32_t field : {name_at, 1u, 2u | (section.name == ".text" ? 4u : 1u), section.address, offset,
                                          static_cast<std::uint32_t>(section.data.size()), 0u, 0u, 4u, 0u})
            word(field, 4);
        name_at += static_cast<std::uint32_t>(section.name.size() + 1);
        offset += static_cast<std::uint32_t>(section.data.size());
    }
    for (const std::uint32_t field : {name_at, 3u, 0u, 0u, offset, static_cast<std::uint32_t>(names.size() + 10), 0u, 0u, 1u, 0u})
        word(field, 4);
    return out;
}


bytes counting(std::size_t count, std::uint8_t first)
{
    bytes out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

bytes operator+(bytes left, const bytes &right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string hex_line(unsigned type, unsigned offset, const bytes &data)
{
    static const char digits[] = "0123456789ABCDEF";
    bytes record = bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
                         static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(type)} + data;
    unsigned sum = 0;
    for (const std::uint8_t byte : record)
        sum += byte;
    record.push_back(static_cast<std::uint8_t>(0x100 - sum % 256));
    std::string text = ":";
    for (const std::uint8_t byte : record)
        text += {digits[byte >> 4], digits[byte & 15]};
    return text + "\n";
}

std::string hex_text(std::uint32_t address, const bytes &data, std::size_t first)
{
    std::string text;
    for (std::size_t at = 0; at < data.size();) {
        const std::uint32_t here = address + static_cast<std::uint32_t>(at);
        if (at == 0 || here % 0x10000 < 16) // a new segment starts in this record
            text += hex_line(4, 0, {static_cast<std::uint8_t>(here >> 24), static_cast<std::uint8_t>(here >> 16)});
        const std::size_t count = std::min(at == 0 ? first : 16, data.size() - at);
        text += hex_line(0, here & 0xFFFF, bytes(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + count)));
        at += count;
    }
    return text + ":00000001FF\n";
}

bytes random_image(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    bytes image;
    while (image.size() < size) {
        const std::size_t left = size - image.size();
        const unsigned kind = random() % 8;
        std::size_t run = 1 + random() % (kind == 0 ? 70000 : 40);
        run = run < left ? run : left;
        if (kind < 3) {
            image.insert(image.end(), run, 0xFF);
        } else {
            for (std::size_t i = 0; i < run; ++i)
                image.push_back(static_cast<std::uint8_t>(random()));
        }
    }
    return image;
}

temp_dir::temp_dir()
{
    char name[] = "/tmp/fw2hex-test-XXXXXX";
    path = mkdtemp(name);
}

temp_dir::~temp_dir()
{
    const std::string command = "chmod -R u+rwx '" + path + "'; rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

void write_file(const std::string &path, const bytes &content)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(content.data()),
               static_cast<std::streamsize>(content.size()));
}

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool exists(const std::string &path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

run_result run_fw2hex(const std::string &dir, const std::vector<std::string> &args,
                      const run_options &options)
{
    const temp_dir capture;
    const std::string out_path = options.stdout_path.empty() ? capture / "out" : options.stdout_path;
    const std::string err_path = capture / "err";
    const std::string program = options.program.empty() ? FW2HEX_PROGRAM : options.program;
    // LD_PRELOAD splits at spaces, which the build folder's path may hold:
    // the library is preloaded through a link in the capture folder.
    const std::string preload = capture / "fail_close.so";
    if (options.close_fails && symlink(FW2HEX_FAIL_CLOSE, preload.c_str()) != 0)
        return {127, "", "cannot link " FW2HEX_FAIL_CLOSE};
    const char *argv0 = options.program.empty() ? "fw2hex" : program.c_str();
    // A cross-built program runs through the emulator, which takes argv[0] after "-0".
#ifdef FW2HEX_EMULATOR
    std::vector<char *> argv;
    for (const char *word : {FW2HEX_EMULATOR, "-0", argv0, program.c_str()})
        argv.push_back(const_cast<char *>(word));
    const char *executable = argv[0];
#else
    std::vector<char *> argv{const_cast<char *>(argv0)};
    const char *executable = program.c_str();
#endif
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        // A given standard output is appended to, as ">>" does, from the folder.
        const int out = chdir(dir.c_str()) != 0 ? -1
                        : options.stdout_path.empty() ? open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                                                      : open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const rlimit file_size{64 << 20, 64 << 20};
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || setrlimit(RLIMIT_FSIZE, &file_size) != 0)
            _exit(127);
        if (options.stdout_closed)
            close(1);
        if (!options.stdin_path.empty()) {
            const int in = open(options.stdin_path.c_str(), O_RDONLY);
            if (in < 0 || dup2(in, 0) < 0)
                _exit(127);
        }
        if (!options.temp_folder.empty())
            setenv("TMPDIR", options.temp_folder.c_str(), 1);
        if (options.close_fails) {
#ifdef FW2HEX_EMULATOR
            setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + preload).c_str(), 1); // for the program, not the emulator
#else
            setenv("LD_PRELOAD", preload.c_str(), 1);
#endif
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1); // the sanitizer build
        }
        execv(executable, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            options.stdout_path.empty() ? read_file(out_path) : "", read_file(err_path)};
}

std::string convert(const bytes &image, std::uint32_t load, int omit, int *result)
{
    std::FILE *input = std::tmpfile();
    std::FILE *output = std::tmpfile();
    if (!image.empty())
        std::fwrite(image.data(), 1, image.size(), input);
    std::rewind(input);
    load_address = load;
    omit_blank = omit;
    const int converted_as = convert_image(input, output);
    if (result != nullptr)
        *result = converted_as;
    std::string text(static_cast<std::size_t>(std::ftell(output)), '\0');
    std::rewind(output);
    if (std::fread(&text[0], 1, text.size(), output) != text.size())
        text = "short read of the converted text";
    std::fclose(input);
    std::fclose(output);
    return text;
}

std::uint32_t bitwise_stm32_crc(const std::uint8_t *data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        crc ^= std::uint32_t{data[i]} | std::uint32_t{data[i + 1]} << 8 | std::uint32_t{data[i + 2]} << 16 |
               std::uint32_t{data[i + 3]} << 24;
        for (int bit = 0; bit < 32; ++bit)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

std::uint32_t bitwise_zlib_crc(const std::uint8_t *data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

std::string output_of(const std::string &command)
{
    std::string text;
    if (std::FILE *pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            text.append(chunk, got);
        pclose(pipe);
    }
    return text;
}
