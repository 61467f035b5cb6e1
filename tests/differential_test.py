#!/usr/bin/env python3
"""fw2hex against the peers on random inputs, bounded to about a minute:
random maps written by srec_cat and objcopy (block sizes, address lengths,
header, count and start records) and random programs linked by
arm-none-eabi-gcc (AT> FLASH, PHDRS, NOLOAD, gaps, either byte order). The
address map and start address fw2hex reads must be the peer's.

Usage: differential_test.py FW2HEX [SEED] (or FW2HEX_SEED); a failure
prints its seed. Exits 77 (skipped) when a peer is missing.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

BUDGET_SECONDS = 50


def parse_ihex(text):
    """The address map and the start address of Intel HEX text, read the
    simple way (types 00 to 05)."""
    memory, base, start = {}, 0, 0
    for line in text.splitlines():
        line = line.strip()
        if not line:
            continue
        record = bytes.fromhex(line[1:])
        count, field, kind, data = record[0], record[1] << 8 | record[2], record[3], record[4:4 + record[0]]
        assert line[0] == ":" and len(record) == count + 5 and sum(record) % 256 == 0, line
        if kind == 0:
            for i, byte in enumerate(data):
                address = base + field + i
                assert address not in memory, "0x%X twice" % address
                memory[address] = byte
        elif kind in (2, 4):
            base = int.from_bytes(data, "big") << (4 if kind == 2 else 16)
        elif kind == 3:
            start = (data[0] << 8 | data[1]) * 16 + (data[2] << 8 | data[3])
        elif kind == 5:
            start = int.from_bytes(data, "big")
    return memory, start


def run(command):
    return subprocess.run(command, check=True, capture_output=True).stdout


def random_map(rng, top):
    """A few stretches of random bytes below `top`, apart or touching."""
    stretches, address = [], rng.randrange(0, top // 2) & ~rng.choice((0, 0xF, 0xFFF))
    for _ in range(rng.randint(1, 5)):
        size = rng.choice((1, 2, 15, 16, 17, 255, 256, 1000, rng.randint(1, 70000)))
        if address + size >= top:
            break
        stretches.append((address, bytes(rng.getrandbits(8) for _ in range(size))))
        address += size + rng.choice((0, 0, 1, 16, 0x10000 - (address + size) % 0x10000, rng.randint(1, 200000)))
    return stretches or [(0x100, b"\x01")]


def map_case(rng, work, number):
    """One random map, written by srec_cat and, for some, rewritten by objcopy."""
    kind = rng.choice(("srec", "ihex", "objcopy srec", "objcopy ihex"))
    small = rng.random() < 0.3
    top = 0x10000 if small and kind == "srec" else 0xF0000 if small else 0xFFFF0000
    stretches = random_map(rng, top)
    command = ["srec_cat"]
    for i, (address, data) in enumerate(stretches):
        path = os.path.join(work, "s%d.bin" % i)
        with open(path, "wb") as out:
            out.write(data)
        command += [path, "-binary", "-offset", str(address)]
    start = 0 if small else rng.choice((0, 0x08000199, rng.getrandbits(32)))
    if start:
        command += ["-execution-start-address", str(start)]
    source = os.path.join(work, "map%d.%s" % (number, "hex" if kind == "ihex" else "srec"))
    command += ["-o", source, "-intel" if kind == "ihex" else "-motorola"]
    if kind == "ihex":
        command += ["-address-length=3"] if small else []
    else:
        command += ["-address-length=%d" % (2 if small else rng.choice((3, 4)))] if small or rng.random() < 0.5 else []
        command += [rng.choice(("-enable=data-count", "-disable=header", "-enable=header"))]
    command += ["-obs=%d" % rng.choice((16, 32, 1, 7, 64, 250))]
    run(command)
    path = source
    if kind.startswith("objcopy"):
        path = os.path.join(work, "map%d.objcopy.%s" % (number, "hex" if kind.endswith("ihex") else "srec"))
        extra = ["--srec-len=%d" % rng.choice((1, 16, 64)), "--srec-forceS3"][:rng.randint(0, 2)] if kind.endswith("srec") else []
        run(["objcopy", "-I", "srec", "-O", "ihex" if kind.endswith("ihex") else "srec"] + extra + [source, path])
    peer, peer_start = parse_ihex(run(["srec_cat", path, "-intel" if path.endswith(".hex") else "-motorola",
                                       "-o", "-", "-intel", "-address-length=4"]).decode())
    written = {address + i: byte for address, data in stretches for i, byte in enumerate(data)}
    assert peer == written, "%s: srec_cat reads another map than the one written" % kind
    return kind, path, peer, peer_start


SCRIPT = """ENTRY(Reset_Handler)
MEMORY {{ FLASH (rx) : ORIGIN = 0x{flash:08X}, LENGTH = 1M
         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 128K }}
{phdrs}SECTIONS {{
  .isr_vector : {{ KEEP(*(.isr_vector)) }} >FLASH{text_phdr}
  .text : {{ *(.text*) }} >FLASH{text_phdr}
  .rodata {rodata_place}: {{ *(.rodata*) }} >FLASH{text_phdr}
  .data : {{ *(.data*) }} >RAM AT> FLASH{data_phdr}
  .bss (NOLOAD) : {{ *(.bss*) }} >RAM{data_phdr}
  /DISCARD/ : {{ *(.ARM.*) *(.comment) }}
}}
"""

PROGRAM = """extern void Reset_Handler(void);
__attribute__((section(".isr_vector"))) void (*const vectors[2])(void) = {{(void (*)(void))0x20001000, Reset_Handler}};
const unsigned char table[{table}] = {{{table_bytes}}};
unsigned char data[{data}] = {{{data_bytes}}};
unsigned char zeros[{bss}];
volatile unsigned sink;
void Reset_Handler(void) {{ for (unsigned i = 0;; ++i) sink = table[i % {table}] + data[i % {data}] + zeros[i % {bss}]; }}
"""


def elf_case(rng, work, number, gcc, objcopy):
    """One program from a random linker script and its objcopy -O ihex."""
    phdrs = rng.random() < 0.4
    table, data = rng.randint(1, 3000), rng.randint(1, 300)
    script = SCRIPT.format(
        flash=rng.choice((0x08000000, 0x08004000, 0x08020000, 0x00200000)),
        phdrs="PHDRS { text PT_LOAD; data PT_LOAD; }\n" if phdrs else "",
        text_phdr=" :text" if phdrs else "", data_phdr=" :data" if phdrs else "",
        rodata_place=rng.choice(("", "ALIGN(0x100) ", "ALIGN(0x1000) ")))
    source = PROGRAM.format(table=table, data=data, bss=rng.randint(1, 500),
                            table_bytes=", ".join(str(rng.getrandbits(8)) for _ in range(table)),
                            data_bytes=", ".join(str(rng.getrandbits(8)) for _ in range(data)))
    stem = os.path.join(work, "elf%d" % number)
    with open(stem + ".ld", "w") as out:
        out.write(script)
    with open(stem + ".c", "w") as out:
        out.write(source)
    endian = rng.choice(([], ["-mbig-endian"]))
    run([gcc, "-mcpu=cortex-m4", "-mthumb", "-O1", "-nostdlib", "-ffreestanding", "-T", stem + ".ld", stem + ".c",
         "-o", stem + ".elf"] + endian)
    run([objcopy, "-O", "ihex", stem + ".elf", stem + ".objcopy.hex"])
    with open(stem + ".objcopy.hex") as text:
        peer, peer_start = parse_ihex(text.read())
    return "ELF%s%s" % (" PHDRS" if phdrs else "", " big-endian" if endian else ""), stem + ".elf", peer, peer_start


def main():
    fw2hex = sys.argv[1]
    seed = int(sys.argv[2] if len(sys.argv) > 2 else os.environ.get("FW2HEX_SEED", "20261209"))
    gcc, objcopy = shutil.which("arm-none-eabi-gcc"), shutil.which("arm-none-eabi-objcopy")
    missing = [name for name, path in (("srec_cat", shutil.which("srec_cat")), ("objcopy", shutil.which("objcopy")),
                                       ("arm-none-eabi-gcc", gcc), ("arm-none-eabi-objcopy", objcopy)) if not path]
    if missing:
        print("skipped: %s not installed" % ", ".join(missing))
        return 77
    rng = random.Random(seed)
    deadline = time.monotonic() + BUDGET_SECONDS
    counts = {}
    with tempfile.TemporaryDirectory() as work:
        number, path = 0, "?"
        while time.monotonic() < deadline and number < 400:
            number += 1
            try:
                what, path, peer, peer_start = (elf_case(rng, work, number, gcc, objcopy) if number % 5 == 0
                                                else map_case(rng, work, number))
                result = subprocess.run([fw2hex, "-o", "-", "-i", path], capture_output=True)
                if result.returncode != 0:
                    raise AssertionError("fw2hex exits %d: %s" % (result.returncode, result.stderr.decode().strip()))
                got, got_start = parse_ihex(result.stdout.decode())
                if got != peer:
                    differ = sorted(set(got) ^ set(peer)) or [a for a in sorted(got) if got[a] != peer[a]]
                    raise AssertionError("the address maps differ, first at 0x%X" % differ[0])
                if got_start != peer_start:
                    raise AssertionError("start address 0x%X, the peer's 0x%X" % (got_start, peer_start))
            except (AssertionError, subprocess.CalledProcessError) as fault:
                detail = fault.stderr.decode().strip() if isinstance(fault, subprocess.CalledProcessError) else fault
                print("FAILED, seed %d, input %d (%s): %s" % (seed, number, os.path.basename(path), detail))
                print("run again: %s %s %d" % (sys.argv[0], fw2hex, seed))
                return 1
            counts[what] = counts.get(what, 0) + 1
    print("seed %d: %d inputs read as the peers read them (%s)" % (
        seed, number, ", ".join("%s %d" % item for item in sorted(counts.items()))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
