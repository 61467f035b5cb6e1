# Cross-builds fw2hex for 64-bit ARM Linux with Debian's cross compiler
# (package g++-aarch64-linux-gnu); ctest runs the suite under qemu-user
# (package qemu-user):
#   cmake -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DFW2HEX_STATIC=ON
#   cmake --build build-arm64 && ctest --test-dir build-arm64
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(target_triple aarch64-linux-gnu)

find_program(CMAKE_CXX_COMPILER NAMES ${target_triple}-g++ REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${target_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# OpenSSL's libcrypto for the target, where Debian's multiarch
# libssl-dev:arm64 is installed: the cross compiler searches its folders
# (/usr/include/aarch64-linux-gnu, /usr/lib/aarch64-linux-gnu) itself, and
# CMake is told where they are.
if(EXISTS /usr/lib/${target_triple}/libcrypto.a AND EXISTS /usr/include/${target_triple}/openssl/configuration.h)
  set(OPENSSL_INCLUDE_DIR /usr/include CACHE PATH "")
  set(OPENSSL_CRYPTO_LIBRARY /usr/lib/${target_triple}/libcrypto.a CACHE FILEPATH "")
endif()

# The target's programs run here through the emulator, which finds the
# target's C library (for a dynamically linked build) under -L. Where
# multiarch arm64 packages are installed too, the loader would take their
# C library from /lib/aarch64-linux-gnu, another build than its own (a
# forked child then hangs): the cross C library is searched first.
find_program(FW2HEX_QEMU qemu-aarch64)
if(FW2HEX_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FW2HEX_QEMU} -L /usr/${target_triple} -E LD_LIBRARY_PATH=/usr/${target_triple}/lib)
endif()
