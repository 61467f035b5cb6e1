#include "files.h"

#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

namespace {

constexpr char hex_extension[] = ".hex";

#ifdef _WIN32
constexpr char path_separators[] = "/\\";
using file_status = struct _stat64;
int status_of(std::FILE *file, file_status *status) { return _fstat64(_fileno(file), status); }
#else
constexpr char path_separators[] = "/";
using file_status = struct stat;
int status_of(std::FILE *file, file_status *status) { return fstat(fileno(file), status); }
#endif

} // namespace

std::string derive_output_path(const char *input_path)
{
    const std::size_t length = std::strlen(input_path);
    std::size_t component = 0; // start of the final path component
    for (std::size_t i = 0; i < length; ++i)
        if (std::strchr(path_separators, input_path[i]) != nullptr)
            component = i + 1;
    const char *dot = std::strrchr(input_path + component, '.');
    const std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - input_path) : length;
    return std::string(input_path, stem) + hex_extension;
}

std::FILE *open_image(const char *path)
{
    std::FILE *image = std::fopen(path, "rb");
    if (image == nullptr)
        return nullptr;
    file_status status;
    if (status_of(image, &status) != 0 || (status.st_mode & S_IFMT) == S_IFDIR) {
        std::fclose(image);
        return nullptr;
    }
    return image;
}

bool known_image_size(std::FILE *image, std::uint64_t *size)
{
    file_status status;
    if (status_of(image, &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG)
        return false;
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

#ifdef _WIN32
// Windows leaves st_ino at 0: a file is known by its volume serial number
// and file index instead.
bool names_same_file(std::FILE *file, const char *path)
{
    BY_HANDLE_FILE_INFORMATION open_file;
    BY_HANDLE_FILE_INFORMATION named_file;
    const auto open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (!GetFileInformationByHandle(open_handle, &open_file))
        return false;
    HANDLE named = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    const bool found = GetFileInformationByHandle(named, &named_file) != 0;
    CloseHandle(named);
    return found && open_file.dwVolumeSerialNumber == named_file.dwVolumeSerialNumber &&
           open_file.nFileIndexHigh == named_file.nFileIndexHigh &&
           open_file.nFileIndexLow == named_file.nFileIndexLow;
}
#else
bool names_same_file(std::FILE *file, const char *path)
{
    file_status open_file;
    file_status named_file;
    return status_of(file, &open_file) == 0 && stat(path, &named_file) == 0 &&
           open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}
#endif
