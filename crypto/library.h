// A shared library loaded when it is first needed, so that a run that does
// not need it never pays for it, its functions looked up by name into a
// table of pointers.
#ifndef FW2HEX_LIBRARY_H
#define FW2HEX_LIBRARY_H

#include <cstddef>

struct library_function {
    const char *name;
    void *slot; // the address of the table's function pointer
};

// Opens the library `name` (on Windows, only from the program's own folder
// or the system's) and fills each slot; false, with the reason in
// `reason`, when it cannot be loaded or lacks a function.
bool load_shared_library(const char *name, const library_function *functions, std::size_t count, char *reason,
                         std::size_t reason_size);

#endif
