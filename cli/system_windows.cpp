// The system interface on Windows. Text is UTF-8 inside the program and
// UTF-16 at every call into the system, so that any name reaches the file
// system as typed: the ANSI calls would map characters outside the code
// page to look-alikes ("ā" to "a") and open another file. Files are known
// by volume serial number and file index.
#include "system.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

// UTF-16 copy of UTF-8 text, or null; the caller frees it.
wchar_t *to_utf16(const char *text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    auto *wide = static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(size)));
    if (size == 0 || wide == nullptr || MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, size) != size) {
        std::free(wide);
        return nullptr;
    }
    return wide;
}

// UTF-8 copy of UTF-16 text, or null; the caller frees it.
char *to_utf8(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    auto *narrow = static_cast<char *>(std::malloc(static_cast<std::size_t>(size)));
    if (size == 0 || narrow == nullptr ||
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, size, nullptr, nullptr) != size) {
        std::free(narrow);
        return nullptr;
    }
    return narrow;
}

bool starts_with(const wchar_t *text, const wchar_t *start)
{
    return std::wcsncmp(text, start, std::wcslen(start)) == 0;
}

// The path to hand to the file calls, or null; the caller frees it. A path
// whose full form reaches MAX_PATH is opened in its extended-length form,
// which has no such limit (and no manifest setting to depend on); shorter
// ones stay as typed, so that device names such as NUL keep their meaning.
wchar_t *system_path(const char *path)
{
    wchar_t *typed = to_utf16(path);
    if (typed == nullptr || starts_with(typed, L"\\\\?\\") || starts_with(typed, L"\\\\.\\"))
        return typed;
    const DWORD full_size = GetFullPathNameW(typed, 0, nullptr, nullptr); // with the NUL
    if (full_size <= MAX_PATH)
        return typed;
    auto *full = static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * full_size));
    if (full == nullptr || GetFullPathNameW(typed, full_size, full, nullptr) >= full_size) {
        std::free(full);
        return typed;
    }
    // "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for "\\server\share\...".
    const bool share = starts_with(full, L"\\\\");
    const wchar_t *prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t *rest = share ? full + 1 : full;
    auto *extended = static_cast<wchar_t *>(
        std::malloc(sizeof(wchar_t) * (std::wcslen(prefix) + std::wcslen(rest) + 1)));
    if (extended != nullptr) {
        std::wcscpy(extended, prefix);
        std::wcscat(extended, rest);
    }
    std::free(full);
    std::free(typed);
    return extended;
}

// A C stream over an open handle; null (and the handle closed) on failure.
std::FILE *stream_of(HANDLE handle, int flags, const char *mode)
{
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE *stream = _fdopen(descriptor, mode);
    if (stream == nullptr)
        _close(descriptor);
    return stream;
}

HANDLE handle_of(std::FILE *stream)
{
    // The C runtime hands out handles as integers.
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); // NOLINT(performance-no-int-to-ptr)
}

} // namespace

// -municode makes this the entry point, with the command line as typed.
extern "C" int wmain(int argc, wchar_t *argv[])
{
    auto **arguments = static_cast<char **>(std::calloc(static_cast<std::size_t>(argc) + 1, sizeof(char *)));
    for (int i = 0; arguments != nullptr && i < argc; ++i)
        if ((arguments[i] = to_utf8(argv[i])) == nullptr)
            arguments = nullptr;
    if (arguments == nullptr)
        return 255;
    return fw2hex_main(argc, arguments);
}

std::FILE *open_image(const char *path)
{
    wchar_t *wide = system_path(path);
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    const HANDLE image = wide == nullptr ? INVALID_HANDLE_VALUE
                                         : CreateFileW(wide, GENERIC_READ,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::free(wide);
    return image == INVALID_HANDLE_VALUE ? nullptr : stream_of(image, _O_RDONLY | _O_BINARY, "rb");
}

system_error last_system_error()
{
    return {errno, GetLastError()};
}

const char *system_reason(const system_error &error)
{
    static char *reason = nullptr; // the last message, in UTF-8
    std::free(reason);
    reason = nullptr;
    wchar_t *text = nullptr;
    if (error.code != 0 &&
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error.code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr) != 0) {
        reason = to_utf8(text);
        LocalFree(text);
    }
    if (reason == nullptr)
        return std::strerror(error.number);
    // Without the line end and the period the system's messages end with.
    std::size_t size = std::strlen(reason);
    while (size > 0 && std::strchr("\r\n. ", reason[size - 1]) != nullptr)
        reason[--size] = '\0';
    return reason;
}

std::FILE *standard_input()
{
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
}

bool known_image_size(std::FILE *image, std::uint64_t *size)
{
    const HANDLE handle = handle_of(image);
    LARGE_INTEGER file_size;
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileSizeEx(handle, &file_size) == 0)
        return false;
    *size = static_cast<std::uint64_t>(file_size.QuadPart);
    return true;
}

bool is_pipe(std::FILE *stream)
{
    return GetFileType(handle_of(stream)) == FILE_TYPE_PIPE;
}

void widen_pipe(std::FILE * /*unused*/)
{
    // A pipe's size is fixed when it is created.
}

std::FILE *open_spool()
{
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH];
    const DWORD size = GetTempPathW(MAX_PATH + 1, folder);
    if (size == 0 || size > MAX_PATH || GetTempFileNameW(folder, L"fw2", 0, path) == 0)
        return nullptr;
    // Deleted by the system when its last handle closes, also when the
    // process is ended from outside.
    const HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        DeleteFileW(path);
        SetLastError(code);
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDWR | _O_BINARY);
    std::FILE *spool = descriptor < 0 ? nullptr : _fdopen(descriptor, "w+b");
    if (spool == nullptr) {
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseHandle(file);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return spool;
}

const char *stored_name(const char *image_path)
{
    std::size_t component = std::strlen(image_path); // start of the final component
    while (component > 0 && std::strchr("/\\:", image_path[component - 1]) == nullptr)
        --component;
    char *name = nullptr;
    wchar_t *wide = system_path(image_path);
    const DWORD size = wide == nullptr ? 0 : GetLongPathNameW(wide, nullptr, 0);
    auto *long_path = static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * (size + 1)));
    if (size != 0 && long_path != nullptr && GetLongPathNameW(wide, long_path, size) < size) {
        const wchar_t *final = long_path + std::wcslen(long_path);
        while (final > long_path && final[-1] != L'\\' && final[-1] != L'/')
            --final;
        name = to_utf8(final);
    }
    std::free(wide);
    std::free(long_path);
    const char *typed_name = image_path + component;
    std::size_t name_length = std::strlen(name != nullptr ? name : typed_name);
    auto *path = static_cast<char *>(std::malloc(component + name_length + 1));
    if (path == nullptr)
        return image_path;
    std::memcpy(path, image_path, component);
    std::memcpy(path + component, name != nullptr ? name : typed_name, name_length);
    std::free(name);
    // Windows drops trailing dots and spaces from the name it opens.
    while (name_length > 0 && (path[component + name_length - 1] == '.' || path[component + name_length - 1] == ' '))
        --name_length;
    path[component + name_length] = '\0';
    return path;
}

namespace {

// What tells one file from another: the volume and the file's number on it.
struct file_identity {
    bool wide;                    // from FileIdInfo (128-bit numbers), not the older call
    ULONGLONG volume;
    unsigned char number[16];
};

bool identity_of(HANDLE file, file_identity *identity)
{
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) != 0) {
        *identity = {true, id.VolumeSerialNumber, {}};
        std::memcpy(identity->number, &id.FileId, sizeof identity->number);
        return true;
    }
    // File systems without 128-bit file numbers (and Windows before 8).
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(file, &information) == 0)
        return false;
    *identity = {false, information.dwVolumeSerialNumber, {}};
    std::memcpy(identity->number, &information.nFileIndexLow, sizeof information.nFileIndexLow);
    std::memcpy(identity->number + 4, &information.nFileIndexHigh, sizeof information.nFileIndexHigh);
    return true;
}

// Whether the open output is one of the open images. Devices such as NUL
// and pipes hold nothing that could be cut, and have no such identity.
output_opening compare(HANDLE output, const image_source *images, std::size_t count)
{
    if (GetFileType(output) != FILE_TYPE_DISK)
        return output_opened;
    file_identity opened;
    if (!identity_of(output, &opened))
        return output_failed;
    for (std::size_t i = 0; i < count; ++i) {
        file_identity read_from;
        if (!identity_of(handle_of(images[i].stream), &read_from) || opened.wide != read_from.wide)
            return output_failed;
        // A volume that reports no serial number (0: Wine's, for a handle it
        // inherits from its host) could be any volume. The file numbers then
        // decide, erring on the side of the image.
        const bool same_volume = opened.volume == read_from.volume || opened.volume == 0 || read_from.volume == 0;
        if (same_volume && std::memcmp(opened.number, read_from.number, sizeof opened.number) == 0)
            return output_is_image;
    }
    return output_opened;
}

} // namespace

output_opening open_output(const char *path, const image_source *images, std::size_t count, std::FILE **output)
{
    wchar_t *wide = system_path(path);
    const HANDLE file = wide == nullptr ? INVALID_HANDLE_VALUE
                                        : CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::free(wide);
    if (file == INVALID_HANDLE_VALUE)
        return output_failed;
    output_opening result = compare(file, images, count);
    // Just opened, the file's position is 0: SetEndOfFile empties it.
    if (result == output_opened && GetFileType(file) == FILE_TYPE_DISK && SetEndOfFile(file) == 0)
        result = output_failed;
    if (result != output_opened) {
        CloseHandle(file);
        return result;
    }
    // The records carry their CR LF: text mode would only add a copy
    // through a small buffer, and a write for each piece of it.
    *output = stream_of(file, _O_WRONLY | _O_BINARY, "wb");
    if (*output == nullptr)
        return output_failed;
    std::setvbuf(*output, nullptr, _IONBF, 0); // whole blocks go straight to the file
    return output_opened;
}

output_opening use_standard_output(const image_source *images, std::size_t count, std::FILE **output)
{
    const output_opening result = compare(handle_of(stdout), images, count);
    if (result != output_opened)
        return result;
    std::fflush(stdout);
    if (_setmode(_fileno(stdout), _O_BINARY) == -1)
        return output_failed;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    *output = stdout;
    return result;
}

// The stack protector's guard and failure calls. MinGW's libssp would seed
// the guard through CryptAcquireContext, whose provider takes longer to load
// than a whole conversion at users' sizes (40 ms under Wine); RtlGenRandom,
// the call behind it, gives the same random bytes. Being defined here, these
// keep libssp's own copy out of the link; its checked string functions stay.
extern "C" {
BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length); // RtlGenRandom

// Read by every protected function's prologue and epilogue.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the name the compiler emits
std::uintptr_t __stack_chk_guard = 0x2F8A31C50B7E9D46u;

// Ends the process without running anything more of it: its stack can no
// longer be trusted. Windows reports it as a stack buffer overrun.
[[noreturn]] void __stack_chk_fail() // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): as above
{
    RaiseFailFastException(nullptr, nullptr, 0);
    for (;;) {
    }
}
[[noreturn]] void __stack_chk_fail_local() // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): as above
{
    __stack_chk_fail();
}
// A checked string function found its destination too small.
[[noreturn]] void __chk_fail() // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): as above
{
    __stack_chk_fail();
}
}

namespace {

// Runs before main (a constructor, as libssp's), so before any protected
// function is on the stack; it must not check the guard it changes.
__attribute__((constructor, no_stack_protector)) void seed_stack_guard()
{
    std::uintptr_t guard = 0;
    if (SystemFunction036(&guard, sizeof guard) != 0 && guard != 0)
        __stack_chk_guard = guard;
}

} // namespace

void print_text(std::FILE *stream, const char *format, std::va_list arguments)
{
    std::va_list counting;
    va_copy(counting, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    auto *text = static_cast<char *>(std::malloc(static_cast<std::size_t>(length < 0 ? 0 : length) + 1));
    if (length < 0 || text == nullptr) {
        std::free(text);
        return;
    }
    std::vsnprintf(text, static_cast<std::size_t>(length) + 1, format, arguments);
    // A console shows UTF-16; pipes and files get the UTF-8 bytes.
    const HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    wchar_t *wide = GetConsoleMode(console, &mode) != 0 ? to_utf16(text) : nullptr;
    if (wide != nullptr) {
        std::fflush(stream);
        DWORD written = 0;
        WriteConsoleW(console, wide, static_cast<DWORD>(std::wcslen(wide)), &written, nullptr);
    } else {
        std::fputs(text, stream);
    }
    std::free(wide);
    std::free(text);
}
