#!/usr/bin/env python3
"""Checks a macOS build: a Mach-O executable for the given processor that
loads no library but libSystem.

    tests/macho_check.py BINARY x86_64|arm64
"""
import struct
import sys

MAGIC_64 = 0xFEEDFACF
CPU_TYPES = {"x86_64": 0x01000007, "arm64": 0x0100000C}
MH_EXECUTE = 2
# Load commands that name a library: LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB,
# LC_REEXPORT_DYLIB, LC_LAZY_LOAD_DYLIB, LC_LOAD_UPWARD_DYLIB.
LIBRARY_COMMANDS = {0xC, 0x80000018, 0x8000001F, 0x20, 0x80000023}
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


def libraries(data):
    """The libraries a thin 64-bit little-endian Mach-O file loads."""
    commands = struct.unpack_from("<I", data, 16)[0]
    offset = 32  # the mach_header_64
    for _ in range(commands):
        command, size = struct.unpack_from("<II", data, offset)
        if command in LIBRARY_COMMANDS:
            name_offset = struct.unpack_from("<I", data, offset + 8)[0]
            name = data[offset + name_offset:offset + size].split(b"\0", 1)[0]
            yield name.decode()
        offset += size


def main():
    path, architecture = sys.argv[1:3]
    with open(path, "rb") as binary:
        data = binary.read()
    magic, cpu_type, _, file_type = struct.unpack_from("<IiiI", data, 0)
    faults = []
    if magic != MAGIC_64:
        faults.append("not a 64-bit Mach-O file (magic 0x%08X)" % magic)
    else:
        if cpu_type != CPU_TYPES[architecture]:
            faults.append("built for CPU type 0x%X, not %s" % (cpu_type, architecture))
        if file_type != MH_EXECUTE:
            faults.append("not an executable (file type %d)" % file_type)
        others = [name for name in libraries(data) if name != LIBSYSTEM]
        if others:
            faults.append("loads more than libSystem: " + ", ".join(others))
    for fault in faults:
        print("%s: %s" % (path, fault))
    if not faults:
        print("%s: a Mach-O %s executable that needs only libSystem" % (path, architecture))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
