// Fuzz target: the output path is the input path with its final
// component's extension replaced by ".hex": nothing else changes, nothing
// is added but the extension, and the folder stays the input's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files.h"

namespace {

[[noreturn]] void fault(const char *what, const std::string &input, const std::string &output)
{
    std::fprintf(stderr, "derive_output_path: %s: '%s' gave '%s'\n", what, input.c_str(), output.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::string path = input.substr(0, input.find('\0')); // what a C string can hold
    // Filled first, as reused memory would be: the text must end in its own NUL.
    std::string output(output_path_size(path.c_str(), ".hex"), '#');
    derive_output_path(path.c_str(), ".hex", &output[0]);
    if (output.find('\0') == std::string::npos)
        fault("no NUL in the buffer", path, output);
    output.resize(output.find('\0'));

    const std::size_t extension = output.size() - 4;
    if (output.size() < 4 || output.compare(extension, 4, ".hex") != 0)
        fault("no .hex extension", path, output);
    if (output.size() > path.size() + 4)
        fault("longer than the input and .hex", path, output);
    if (path.compare(0, extension, output, 0, extension) != 0)
        fault("not a prefix of the input", path, output);
    const std::string replaced = path.substr(extension);
    const std::size_t folder_end = path.find_last_of("/") == std::string::npos ? 0 : path.find_last_of("/") + 1;
    if (extension < folder_end)
        fault("left the input's folder", path, output);
    if (!replaced.empty() && (replaced[0] != '.' || replaced.find('.', 1) != std::string::npos))
        fault("replaced more than the last extension", path, output);
    // The dots a name starts with are not an extension (".hidden").
    std::size_t name_start = folder_end;
    while (name_start < path.size() && path[name_start] == '.')
        ++name_start;
    if (!replaced.empty() && extension < name_start)
        fault("took a leading dot for an extension", path, output);
    if (replaced.empty() && path.find('.', name_start) != std::string::npos)
        fault("kept an extension", path, output);
    return 0;
}
