#!/usr/bin/env bash
# Makes the expected MCUboot images with MCUboot's imgtool 2.4 (commit
# 2d4bacc), from the inputs beside this script. The tests only read what
# it made; run it by hand, with IMGTOOL naming imgtool:
#   IMGTOOL="python3 /path/to/mcuboot/scripts/imgtool.py" tests/data/mcuboot/make.sh
# Inputs (committed):
#   app.bin     3000 bytes of an application, linked for 0x08010200
#   tail.bin    500 more bytes, placed at 0x08012000 to leave a gap
#   app-reserved.bin  0x200 zero bytes (the header's room, as a build
#               reserves it) then app.bin, linked for 0x08010000
#   app.elf     app.bin as .text at 0x08010200, and 300 bytes of .data
#               behind it in flash (run in RAM at 0x20000000): binary
#               objects linked by arm-none-eabi-ld with
#               `.data : { ... } > RAM AT > FLASH`, then stripped
#   boot.elf    tail.bin as a bootloader's .text at 0x08000000, linked so
# The slot is 0x08010000-0x08018000 (-S 0x8000) throughout.
set -euo pipefail
cd "$(dirname "$0")"
: "${IMGTOOL:?name imgtool, as IMGTOOL=\"python3 .../scripts/imgtool.py\"}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
at() { objcopy -I binary -O ihex --change-addresses "$2" "$1" "$work/$3"; }
at app.bin 0x08010200 app.hex
at app.bin 0x08010020 app32.hex
at app.bin 0x08010400 app400.hex
at app-reserved.bin 0x08010000 reserved.hex
srec_cat app.bin -binary -offset 0x08010200 tail.bin -binary -offset 0x08012000 -o "$work/gap.hex" -intel
objcopy -O ihex app.elf "$work/elf.hex"
objcopy -I ihex -O binary "$work/app400.hex" "$work/app400.bin"
sign() { # output, input, then imgtool's options
    local output=$1 input=$2
    shift 2
    echo "imgtool sign -S 0x8000 $* $input $output"
    $IMGTOOL sign -S 0x8000 "$@" "$input" "$output" >/dev/null
}
w=$work
sign plain.hex $w/app.hex --pad-header -H 0x200 --version 1.2.3
sign plain.bin app.bin --pad-header -H 0x200 --version 1.2.3
sign confirm.hex $w/app.hex --pad-header -H 0x200 --version 1.2.3+4 --confirm --security-counter auto
sign confirm.bin app.bin --pad-header -H 0x200 --version 1.2.3+4 --confirm --security-counter auto
sign h32.hex $w/app32.hex --pad-header -H 32 --version 0.0.1 --pad
sign h400.bin $w/app400.bin --pad-header -H 0x400 --version 255.255.65535+4294967295 --align 8 --max-align 16 --confirm
sign reserved.bin app-reserved.bin -H 0x200 --version 3.0 --confirm
sign reserved.hex $w/reserved.hex -H 0x200 --version 3.0 --confirm
sign align32.bin app.bin --pad-header -H 0x200 --version 1.0 --align 32 --max-sectors 16 --pad
sign overwrite.hex $w/app.hex --pad-header -H 0x200 --version 1.0 --overwrite-only --confirm
sign erased0.bin app.bin --pad-header -H 0x200 --version 1.0 --erased-val 0 --confirm --max-align 32
sign counter.hex $w/app.hex --pad-header -H 0x200 --version 1.0 --security-counter 0x10203
sign gap.hex $w/gap.hex --pad-header -H 0x200 --version 1.1 --confirm
sign erased0-gap.hex $w/gap.hex --pad-header -H 0x200 --version 1.1 --erased-val 0 --confirm
sign elf.hex $w/elf.hex --pad-header -H 0x200 --version 1.2 --confirm
sign align2.hex $w/app.hex --pad-header -H 0x200 --version 1.0 --align 2 --confirm
sign align4.bin app.bin --pad-header -H 0x200 --version 1.0 --align 4 --confirm
sign align16.hex $w/app.hex --pad-header -H 0x200 --version 1.0 --align 16 --confirm
# Signed with the test keys of keys/ (made by `imgtool keygen -t TYPE`;
# test keys only, never for a product). ECDSA and RSA signatures are
# randomised: only their other bytes are compared.
for key in ecdsa-p256 ed25519 rsa-2048 rsa-3072; do
    sign "signed-$key.bin" app.bin -k "keys/$key.pem" --pad-header -H 0x200 --version 1.2.3 --confirm
done
sign signed-ed25519.hex $w/app.hex -k keys/ed25519.pem --pad-header -H 0x200 --version 1.2.3 --confirm
sign signed-full-ed25519.bin app.bin -k keys/ed25519.pem --public-key-format full --pad-header -H 0x200 --version 1.2.3
sign signed-full-rsa-3072.bin app.bin -k keys/rsa-3072.pem --public-key-format full --pad-header -H 0x200 --version 1.2.3
