#!/usr/bin/env bash
# The CRC as a bootloader checks it, on an emulated STM32F405 (QEMU's
# netduinoplus2): a small bootloader computes the CRC of the application's
# slot and compares it with the word at its end. QEMU's flash reads 0x00
# where no record wrote, so a file whose gap is not filled is refused, as a
# board whose flasher erases only the pages that records touch refuses it.
# The same layout as a raw binary, loaded at its first address, boots. The
# bootloader and the application come as the ELF files their builds make.
# Then the same with MCUboot's check: the application made into an MCUboot
# image in its slot boots, and does not once a byte of its code changed.
#   tests/stm32/check.sh FW2HEX
set -u
fw2hex=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The MCUboot variant links fw2hex's built-in SHA-256, and the C library
# for its memcpy.
for variant in boot:-DCRC boot-mcuboot:-DMCUBOOT; do
    arm-none-eabi-g++ -mcpu=cortex-m4 -mthumb -O2 -nostdlib -ffreestanding -fno-exceptions -fno-rtti \
        "${variant#*:}" -I "$here/../.." -T "$here/boot.ld" -x c++ "$here/boot.c" "$here/../../crypto/sha256.cpp" \
        -lc -lgcc -o "$work/${variant%:*}.elf" || exit 1
done
# An application of 40,000 bytes in a 96 KiB slot: most of the slot is a
# gap. It is linked into an ELF file of its own at the slot, as a build
# would give it, and the factory file is laid out from both ELF files.
head -c 40000 /dev/urandom >"$work/app.bin"
echo 'SECTIONS { .text 0x08008000 : { *(.data) } }' >"$work/app.ld"
echo 'SECTIONS { .text 0x08008200 : { *(.data) } }' >"$work/app-mcuboot.ld"
(cd "$work" && arm-none-eabi-objcopy -I binary -O elf32-littlearm -B arm app.bin app.o &&
    arm-none-eabi-ld -T app.ld app.o -o app.elf && arm-none-eabi-ld -T app-mcuboot.ld app.o -o app-mcuboot.elf) || exit 1

failures=0 cases=0 app=app boot=boot patch=
expect() { # the bootloader's verdict (0 accepted, 1 refused), the output's name, then fw2hex's options
    local want=$1 output=$work/$2 loaded
    shift 2
    cases=$((cases + 1))
    "$fw2hex" -o "$output" "$@" -i "$work/$app.elf" "$work/$boot.elf" || { failures=$((failures + 1)); return; }
    # A byte changed after the file was made, at this offset of a raw binary.
    [[ -n $patch ]] && printf '\x5A' | dd of="$output" bs=1 seek="$patch" conv=notrunc status=none
    loaded=file=$output
    # QEMU's loader takes a raw binary at the address of its first byte.
    [[ $output == *.bin ]] && loaded=$loaded,addr=0x08000000,force-raw=on
    timeout 60 qemu-system-arm -M netduinoplus2 -nographic -monitor none -serial none \
        -semihosting-config enable=on,target=native -device loader,"$loaded"
    local got=$?
    if [ "$got" != "$want" ]; then
        echo "fw2hex $*: the bootloader's verdict is $got, expected $want"
        failures=$((failures + 1))
    fi
}
expect 0 factory.hex -c 8008000:801FFFC         # the gap filled: the device reads what the CRC covered
expect 1 factory.hex -s -c 8008000:801FFFC      # the fill left out: the gap reads 0x00 here
expect 1 factory.hex -c 8008000:801FFFC:crc32   # zlib's CRC is not the CRC unit's
expect 0 factory.bin -c 8008000:801FFFC         # the same layout as a raw binary, the gaps 0xFF
app=app-mcuboot boot=boot-mcuboot
expect 0 factory.hex --mcuboot 8008000:8020000 --image-version 1.2.3 --confirm   # MCUboot's header and SHA-256
expect 0 factory.bin --mcuboot 8008000:8020000 --image-version 1.2.3 --confirm
expect 1 factory.hex -s --mcuboot 8008000:8020000 --confirm   # the header's 0xFF padding left out reads 0x00 here
patch=$((0x8008200 + 1000 - 0x8000000))
expect 1 factory.bin --mcuboot 8008000:8020000 --image-version 1.2.3 --confirm   # a byte of code changed
echo "stm32: $((cases - failures)) passed, $failures failed"
((failures == 0))
