#include "library.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#ifdef _WIN32
void *open_library(const char *name, char *reason, std::size_t reason_size)
{
    wchar_t wide[64];
    const int converted = MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64);
    // Never from the working folder or PATH, where anyone may have put a DLL
    // of that name; what the library needs is found the same way.
    HMODULE module = converted > 0 ? LoadLibraryExW(wide, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                                                          LOAD_LIBRARY_SEARCH_SYSTEM32)
                                   : nullptr;
    if (module == nullptr) {
        const DWORD error = GetLastError();
        wchar_t text[256] = L"";
        char utf8[512] = "";
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 256,
                           nullptr) > 0)
            WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        std::size_t size = std::strlen(utf8);
        while (size > 0 && (utf8[size - 1] == '\n' || utf8[size - 1] == '\r' || utf8[size - 1] == '.'))
            utf8[--size] = '\0';
        std::snprintf(reason, reason_size, "%s", size > 0 ? utf8 : "it cannot be loaded");
    }
    return reinterpret_cast<void *>(module);
}

void *find_function(void *library, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
void *open_library(const char *name, char *reason, std::size_t reason_size)
{
    void *library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        std::snprintf(reason, reason_size, "%s", dlerror());
    return library;
}

void *find_function(void *library, const char *name)
{
    return dlsym(library, name);
}
#endif

} // namespace

bool load_shared_library(const char *name, const library_function *functions, std::size_t count, char *reason,
                         std::size_t reason_size)
{
    void *library = open_library(name, reason, reason_size);
    if (library == nullptr)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        void *function = find_function(library, functions[i].name);
        if (function == nullptr) {
            std::snprintf(reason, reason_size, "%s has no %s", name, functions[i].name);
            return false;
        }
        std::memcpy(functions[i].slot, &function, sizeof function);
    }
    return true;
}
