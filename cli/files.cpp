#include "files.h"

#include <cstring>

namespace {

// Windows takes either slash between folders.
#ifdef _WIN32
constexpr char path_separators[] = "/\\";
#else
constexpr char path_separators[] = "/";
#endif

} // namespace

std::size_t output_path_size(const char *input_path, const char *extension)
{
    return std::strlen(input_path) + std::strlen(extension) + 1;
}

const char *file_name_of(const char *path)
{
    const char *name = path;
    for (const char *at = path; *at != '\0'; ++at)
        if (std::strchr(path_separators, *at) != nullptr)
            name = at + 1;
    return name;
}

const char *extension_of(const char *path)
{
    const char *name = file_name_of(path);
    // The dots a name starts with (".hidden") are its own.
    const char *after_leading_dots = name + std::strspn(name, ".");
    const char *dot = std::strrchr(after_leading_dots, '.');
    return dot != nullptr ? dot : name + std::strlen(name);
}

void derive_output_path(const char *input_path, const char *extension, char *buffer)
{
    const auto stem = static_cast<std::size_t>(extension_of(input_path) - input_path);
    std::memcpy(buffer, input_path, stem);
    std::memcpy(buffer + stem, extension, std::strlen(extension) + 1);
}
