#include "files.h"

#include <cstring>

namespace {

constexpr char hex_extension[] = ".hex";

// Windows takes either slash between folders.
#ifdef _WIN32
constexpr char path_separators[] = "/\\";
#else
constexpr char path_separators[] = "/";
#endif

} // namespace

std::size_t output_path_size(const char *input_path)
{
    return std::strlen(input_path) + sizeof hex_extension;
}

void derive_output_path(const char *input_path, char *buffer)
{
    const std::size_t length = std::strlen(input_path);
    std::size_t component = 0; // start of the final path component
    for (std::size_t i = 0; i < length; ++i)
        if (std::strchr(path_separators, input_path[i]) != nullptr)
            component = i + 1;
    const char *dot = std::strrchr(input_path + component, '.');
    const std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - input_path) : length;
    std::memcpy(buffer, input_path, stem);
    std::memcpy(buffer + stem, hex_extension, sizeof hex_extension);
}
