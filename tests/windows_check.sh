#!/usr/bin/env bash
# Runs the Windows build under Wine: same records as the Linux build but for
# CR LF line ends, the same messages and exit statuses, backslash paths, and
# the refusal to overwrite the input, which Windows must decide without
# inode numbers.
# Usage: tests/windows_check.sh FW2HEX_EXE LINUX_FW2HEX
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
linux=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX="$work/wine" WINEDEBUG=-all
wine "$exe" -h >/dev/null 2>&1  # the first run sets up the Wine folder

passed=0 failed=0
check() { # what, then a command that succeeds when it holds
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
run() { # runs the .exe in a fresh folder holding fw.bin; sets status, out, err
    rm -rf "$work/run" && mkdir "$work/run" && cd "$work/run" || exit 1
    cp "$image" fw.bin
    [ -n "${prepare:-}" ] && eval "$prepare"
    wine "$exe" "$@" >out.txt 2>err.txt
    status=$?
    out=$(tr -d '\r' <out.txt)
    err=$(tr -d '\r' <err.txt)
}
crlf() { sed 's/$/\r/' "$1"; }

# The sample and a random image with blank runs, against the Linux build.
image="$root/examples/blinky.bin"
run fw.bin
check "sample converts to the expected text with CR LF" cmp -s <(crlf "$root/examples/expected/blinky.hex") fw.hex
run -s fw.bin
check "sample with -s" cmp -s <(crlf "$root/examples/expected/blinky-s.hex") fw.hex
head -c 150000 /dev/urandom >"$work/random.bin"
dd if=/dev/zero bs=1 count=70000 2>/dev/null | tr '\0' '\377' | dd of="$work/random.bin" bs=1 seek=30000 conv=notrunc 2>/dev/null
image="$work/random.bin"
for options in "" "-s" "-a 8004000" "-s -a 800FFF8" "-a FFFD0000"; do
    mkdir -p "$work/linux" && cp "$image" "$work/linux/fw.bin"
    # shellcheck disable=SC2086
    "$linux" $options "$work/linux/fw.bin"
    # shellcheck disable=SC2086
    run $options fw.bin
    check "random image '$options': Linux text with CR LF" cmp -s <(crlf "$work/linux/fw.hex") fw.hex
done

# Messages and exit statuses.
image="$root/examples/blinky.bin"
run
check "no operand: status 255" [ "$status" = 255 ]
check "no operand: message" [ "$err" = "No input file specifed." ]
check "no operand: usage" [ "$(head -n 1 <<<"$out")" = "Binary STM32 to iHex" ]
run nofile.bin
check "missing file: 254 and message" [ "$status $err" = "254 Cannot open file 'nofile.bin'" ]
prepare="mkdir dir.bin" run dir.bin
check "folder as input: 254 and message" [ "$status $err" = "254 Cannot open file 'dir.bin'" ]
prepare="mkdir fw.hex" run fw.bin
check "folder as output: 253 and message" [ "$status $err" = "253 Cannot create file 'fw.hex'" ]
run -a FFFFFFFF fw.bin
check "past 4 GiB: 252 and message" \
    [ "$status $err" = "252 Image 'fw.bin' does not fit in the 32-bit address space at 0xFFFFFFFF" ]
check "past 4 GiB: no output" [ ! -e fw.hex ]

# Backslash paths.
prepare='mkdir dir.v2 && cp fw.bin dir.v2/fw' run 'dir.v2\fw'
check "dir.v2\\fw: status 0" [ "$status" = 0 ]
check "dir.v2\\fw derives dir.v2\\fw.hex" cmp -s <(crlf "$root/examples/expected/blinky.hex") dir.v2/fw.hex

# The input is never overwritten; another existing file is.
prepare="cp fw.bin x.hex" run x.hex
check "x.hex: 253 and message" [ "$status $err" = "253 Output file 'x.hex' would overwrite the input" ]
check "x.hex: untouched" cmp -s "$image" x.hex
prepare="ln fw.bin fw.hex" run fw.bin
check "hard link: 253 and message" [ "$status $err" = "253 Output file 'fw.hex' would overwrite the input" ]
check "hard link: input untouched" cmp -s "$image" fw.bin
prepare="ln -s fw.bin fw.hex" run fw.bin
check "symbolic link: 253" [ "$status" = 253 ]
prepare="head -c 500000 /dev/zero >fw.hex" run fw.bin
check "another existing output: replaced" cmp -s <(crlf "$root/examples/expected/blinky.hex") fw.hex
unset prepare

echo "windows: $passed passed, $failed failed"
[ "$failed" = 0 ]
