#!/usr/bin/env bash
# Every example command of the README (its sh blocks) and of the manual
# page (its EXAMPLES) runs, on files made here, and must exit 0: the
# documentation cannot drift from the program.
#   tests/examples_test.sh FW2HEX README.md man/fw2hex.1
set -u
fw2hex=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
readme=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
manual=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin="$work/bin" inputs="$work/inputs"
mkdir -p "$bin" "$inputs/build"
ln -s "$fw2hex" "$bin/fw2hex"

# An ELF32 little-endian ARM program with one loadable segment of `size`
# bytes at `address`, the way a linker leaves a file without sections.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
elf() { # address, size, file
    {
        printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0'
        printf '%b' "$(le16 2)$(le16 40)$(le32 1)$(le32 $(($1 + 1)))$(le32 52)$(le32 0)$(le32 0x05000000)"
        printf '%b' "$(le16 52)$(le16 32)$(le16 1)$(le16 40)$(le16 0)$(le16 0)"
        printf '%b' "$(le32 1)$(le32 84)$(le32 "$1")$(le32 "$1")$(le32 "$2")$(le32 "$2")$(le32 5)$(le32 4)"
        head -c "$2" /dev/urandom
    } >"$3"
}
# The inputs the examples name: raw images, and parts made from them.
cd "$inputs" || exit 1
for image in boot:24576 app:100000 settings:2048 firmware:6144 ram:4096; do
    head -c "${image#*:}" /dev/urandom >"${image%:*}.bin"
done
"$fw2hex" -o bootloader.hex boot.bin
"$fw2hex" -o app.hex -a 8008000 app.bin
"$fw2hex" -o update.uf2 -O uf2:stm32f4 -a 8008000 app.bin
"$fw2hex" -o vendor-boot.s19 boot.bin
elf 0x08000000 24576 boot.elf
elf 0x08010200 100000 app.elf
elf 0x08000000 24576 mcuboot.elf

failures=0 cases=0
run() { # one example command, in a fresh copy of the inputs
    rm -rf "$work/run" && cp -r "$inputs" "$work/run" && cd "$work/run" || exit 1
    cases=$((cases + 1))
    if ! PATH="$bin:$PATH" bash -c "$1" >/dev/null 2>"$work/err"; then
        echo "example failed: $1"
        cat "$work/err"
        failures=$((failures + 1))
    fi
}
while IFS= read -r command; do
    run "$command"
done < <(awk '/^```sh/ { sh = 1; next } /^```/ { sh = 0 } sh && /^fw2hex / { sub(/ +# .*/, ""); print }' "$readme")
while IFS= read -r command; do
    run "$command"
done < <(awk '/^\.SH EXAMPLES/ { examples = 1; next } /^\.SH/ { examples = 0 }
              examples && /^\.B fw2hex / { sub(/^\.B /, ""); gsub(/\\-/, "-"); print }' "$manual")
echo "examples: $((cases - failures)) of $cases ran"
((cases > 20 && failures == 0))
