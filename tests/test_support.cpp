#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ihex/ihex.h"

bytes repeat(std::size_t count, std::uint8_t value) { return bytes(count, value); }

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
                      const std::string &stdout_path)
{
    const temp_dir capture;
    const std::string out_path = stdout_path.empty() ? capture / "out" : stdout_path;
    const std::string err_path = capture / "err";
    std::vector<char *> argv{const_cast<char *>("fw2hex")};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        execv(FW2HEX_PROGRAM, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            stdout_path.empty() ? read_file(out_path) : "", read_file(err_path)};
}

std::string convert(const bytes &image, std::uint32_t load, int omit, int *result)
{
    std::FILE *input = std::tmpfile();
    std::FILE *output = std::tmpfile();
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

namespace {

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower case is no part of this writer's text either
}

// Decodes the hex digits after ':' into bytes; false on any bad digit.
bool decode(const std::string &line, bytes *out)
{
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0)
        return false;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const int high = digit(line[i]), low = digit(line[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

} // namespace

hex_contents read_hex(const std::string &text)
{
    hex_contents result;
    std::istringstream lines(text);
    std::string line;
    long segment = -1; // upper address bits of the last Extended Linear Address
    int number = 0;
    auto fail = [&](const std::string &why) {
        result.fault = "line " + std::to_string(number) + ": " + why + ": " + line;
        return result;
    };
    while (std::getline(lines, line)) {
        ++number;
        if (result.ended)
            return fail("text after the End Of File record");
        bytes record;
        if (!decode(line, &record))
            return fail("not a record");
        const std::size_t count = record[0];
        if (record.size() != count + 5)
            return fail("byte count disagrees with the length");
        unsigned sum = 0;
        for (std::uint8_t byte : record)
            sum += byte;
        if (sum % 256 != 0)
            return fail("bad checksum");
        const unsigned offset = record[1] * 256u + record[2];
        switch (record[3]) {
        case 0x00:
            if (segment < 0)
                return fail("data before any Extended Linear Address");
            if (count == 0 || count > 16 || offset + count > 0x10000)
                return fail("data record of bad size or crossing 64 KiB");
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint64_t address = (std::uint64_t(segment) << 16) + offset + i;
                if (!result.memory.emplace(address, record[4 + i]).second)
                    return fail("address written twice");
            }
            break;
        case 0x01:
            if (count != 0 || offset != 0)
                return fail("bad End Of File record");
            result.ended = true;
            break;
        case 0x04: {
            if (count != 2 || offset != 0)
                return fail("bad Extended Linear Address record");
            const long upper = record[4] * 256L + record[5];
            if (upper == segment)
                return fail("Extended Linear Address that changes nothing");
            segment = upper;
            break;
        }
        default:
            return fail("unexpected record type");
        }
    }
    return result;
}
