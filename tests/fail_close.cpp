// Preloaded into fw2hex by the command-line tests: closing a ".hex" file
// closes it, then reports an I/O error, as a network file system does when
// the data reaches the server only at close.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

extern "C" int fclose(std::FILE *stream)
{
    static const auto real_fclose = reinterpret_cast<int (*)(std::FILE *)>(dlsym(RTLD_NEXT, "fclose"));
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
    const ssize_t length = readlink(link, target, sizeof target);
    const bool fails = length >= 4 && std::memcmp(target + length - 4, ".hex", 4) == 0;
    const int result = real_fclose(stream);
    if (!fails || result != 0)
        return result;
    errno = EIO;
    return EOF;
}
