// Replays inputs through a fuzz target's LLVMFuzzerTestOneInput, so that
// its seed corpus and its checks run wherever the suite runs, with or
// without libFuzzer: each argument is a file, or a folder of them. A broken
// rule aborts, as under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <dirent.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

// The files of a folder, in name order; the path itself when it is none.
std::vector<std::string> inputs_of(const std::string &path)
{
    std::vector<std::string> files;
    DIR *folder = opendir(path.c_str());
    if (folder == nullptr)
        return {path};
    while (const dirent *entry = readdir(folder))
        if (entry->d_name[0] != '.')
            files.push_back(path + "/" + entry->d_name);
    closedir(folder);
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

int main(int argc, char *argv[])
{
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i)
        for (const std::string &path : inputs_of(argv[i])) {
            std::FILE *file = std::fopen(path.c_str(), "rb");
            if (file == nullptr) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            std::vector<std::uint8_t> data;
            for (int c; (c = std::fgetc(file)) != EOF;)
                data.push_back(static_cast<std::uint8_t>(c));
            std::fclose(file);
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++replayed;
        }
    std::printf("%zu inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
