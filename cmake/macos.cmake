# macOS 11 or later, cross-built with Zig's clang, which carries macOS's
# headers and links Mach-O executables against libSystem (tools/macos-build
# puts zig on PATH). Nothing here runs the result: the tests are built, not
# run. Included by macos-x86_64.cmake and macos-arm64.cmake, which name the
# processor, as CMake and as zig call it.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${fw2hex_macos_processor})
set(CMAKE_SYSTEM_VERSION 20.0) # Darwin 20: macOS 11
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/${fw2hex_zig_processor}-macos-c++)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/${fw2hex_zig_processor}-macos-cc) # GoogleTest asks for one
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/ranlib CACHE FILEPATH "")
# Only an install would change a binary's load paths, and nothing is
# installed from this build.
set(CMAKE_INSTALL_NAME_TOOL true CACHE FILEPATH "")
# No OpenSSL for macOS here: the build hashes with the built-in SHA-256
# (and the host's libcrypto must not be found for it).
set(FW2HEX_CRYPTO OFF CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
