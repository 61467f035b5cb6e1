// The system interface on POSIX systems: paths are bytes, files are known
// by device and inode.
#include "system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A standard descriptor the caller closed ("fw2hex -o - fw.bin >&-") is
// held by /dev/null, open for reading only: no file opened later takes its
// number (the image would become standard output), and writes to it fail
// as they would have.
void hold_closed_standard_descriptors()
{
    for (int descriptor = 0; descriptor <= 2; ++descriptor)
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDONLY) != descriptor)
            return;
}

} // namespace

int main(int argc, char *argv[])
{
    hold_closed_standard_descriptors();
    return fw2hex_main(argc, argv);
}

std::FILE *open_image(const char *path)
{
    std::FILE *image = std::fopen(path, "rb");
    if (image == nullptr)
        return nullptr;
    struct stat status;
    if (fstat(fileno(image), &status) != 0 || S_ISDIR(status.st_mode)) {
        std::fclose(image);
        errno = EISDIR; // it has no bytes of its own to read
        return nullptr;
    }
    return image;
}

system_error last_system_error()
{
    return {errno, 0};
}

const char *system_reason(const system_error &error)
{
    return std::strerror(error.number);
}

std::FILE *standard_input()
{
    return stdin;
}

bool known_image_size(std::FILE *image, std::uint64_t *size)
{
    struct stat status;
    if (fstat(fileno(image), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool is_pipe(std::FILE *stream)
{
    struct stat status;
    return fstat(fileno(stream), &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

void widen_pipe([[maybe_unused]] std::FILE *stream)
{
#ifdef F_SETPIPE_SZ
    fcntl(fileno(stream), F_SETPIPE_SZ, 1024 * 1024); // a smaller pipe still works
#endif
}

std::FILE *open_spool()
{
    const char *folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0')
        folder = "/tmp";
    const char name[] = "/fw2hex-XXXXXX";
    char *path = static_cast<char *>(std::malloc(std::strlen(folder) + sizeof name));
    if (path == nullptr)
        return nullptr;
    std::strcpy(path, folder);
    std::strcat(path, name);
    const int descriptor = mkstemp(path);
    if (descriptor >= 0)
        unlink(path); // the open file lives on, nameless, until it is closed
    std::free(path);
    std::FILE *spool = descriptor < 0 ? nullptr : fdopen(descriptor, "w+b");
    if (spool == nullptr && descriptor >= 0) {
        const int number = errno;
        close(descriptor);
        errno = number;
    }
    return spool;
}

const char *stored_name(const char *image_path)
{
    return image_path;
}

namespace {

// Whether the open output is one of the open images (device and inode).
output_opening compare(int output, const image_source *images, std::size_t count, struct stat *opened)
{
    if (fstat(output, opened) != 0)
        return output_failed;
    for (std::size_t i = 0; i < count; ++i) {
        struct stat read_from;
        if (fstat(fileno(images[i].stream), &read_from) != 0)
            return output_failed;
        if (opened->st_dev == read_from.st_dev && opened->st_ino == read_from.st_ino)
            return output_is_image;
    }
    return output_opened;
}

} // namespace

output_opening open_output(const char *path, const image_source *images, std::size_t count, std::FILE **output)
{
    const int file = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (file < 0)
        return output_failed;
    struct stat opened;
    output_opening result = compare(file, images, count, &opened);
    // Devices such as /dev/null have nothing to empty. A new file is empty
    // already, and ftruncate would make ext4 flush it at close.
    if (result == output_opened && S_ISREG(opened.st_mode) && opened.st_size != 0 && ftruncate(file, 0) != 0)
        result = output_failed;
    if (result == output_opened && (*output = fdopen(file, "w")) == nullptr)
        result = output_failed;
    if (result != output_opened) {
        close(file);
        return result;
    }
    // The conversion hands over whole blocks; a buffer would only split them.
    std::setvbuf(*output, nullptr, _IONBF, 0);
    return result;
}

output_opening use_standard_output(const image_source *images, std::size_t count, std::FILE **output)
{
    struct stat opened;
    const output_opening result = compare(fileno(stdout), images, count, &opened);
    if (result == output_opened) {
        *output = stdout;
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
    return result;
}

void print_text(std::FILE *stream, const char *format, std::va_list arguments)
{
    std::vfprintf(stream, format, arguments);
}
