#!/usr/bin/env bash
# Runs the Windows build under Wine: same records as the Linux build but for
# CR LF line ends, the same messages and exit statuses, backslash paths, the
# refusal to overwrite the input, which Windows must decide without inode
# numbers, and names of any script and length, under two code pages.
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
locale=() # the code page comes from the locale Wine runs in
win() { env "${locale[@]}" wine "$@"; }
check() { # what, then a command that succeeds when it holds
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
run() { # runs the .exe in a fresh folder holding fw.bin; sets status, out, err
    rm -rf "$work/run" && mkdir "$work/run" && cd "$work/run" || exit 1
    cp "$image" fw.bin
    [ -n "${prepare:-}" ] && eval "$prepare"
    win "$exe" "$@" >out.txt 2>err.txt
    status=$?
    out=$(tr -d '\r' <out.txt)
    err=$(tr -d '\r' <err.txt)
}
crlf() { sed 's/$/\r/' "$1"; }
starts() { [[ $1 == "$2"?* ]]; } # the text, then its start: the system's reason follows it

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

# An MCUboot image of the random image, hashed by the built-in SHA-256 of
# the Windows build: the Linux build's bytes, as a raw binary and as text.
for options in "-O bin" "--confirm --security-counter auto"; do
    # shellcheck disable=SC2086
    "$linux" $options --mcuboot 8000000:8040000 --image-version 1.2.3 -a 8000200 -o "$work/linux/slot.out" \
        "$work/linux/fw.bin"
    # shellcheck disable=SC2086
    run $options --mcuboot 8000000:8040000 --image-version 1.2.3 -a 8000200 -o slot.out fw.bin
    if [[ $options == "-O bin" ]]; then
        check "--mcuboot $options: the Linux build's image" cmp -s "$work/linux/slot.out" slot.out
    else
        check "--mcuboot $options: the Linux build's image, CR LF" cmp -s <(crlf "$work/linux/slot.out") slot.out
    fi
done

# Signed with each key type through libgcrypt-20.dll beside the .exe. Every
# byte before the signature is the Linux build's (the TLV area ends the
# file: information 4 bytes, SHA-256 and key hash TLVs 36 each, then the
# signature's 4 and its bytes); Ed25519's signature is deterministic, so
# the whole image is; ECDSA's and RSA-PSS's are random, so openssl checks
# them over the bytes they sign.
keys="$root/tests/data/mcuboot/keys"
for key in ed25519:64 ecdsa-p256:72 rsa-2048:256 rsa-3072:384; do
    length=${key#*:} key=${key%:*}
    "$linux" -O bin --mcuboot 8000000:8040000 -a 8000200 --key "$keys/$key.pem" -o "$work/linux/signed.bin" \
        "$work/linux/fw.bin"
    prepare="cp '$keys/$key.pem' key.pem"
    run -O bin --mcuboot 8000000:8040000 -a 8000200 --key key.pem -o signed.bin fw.bin
    prepare=
    check "--key $key: signed, no message" test "$status:$err" = "0:"
    size=$(stat -c %s signed.bin 2>/dev/null || echo 0)
    signed=$((size - length - 80))
    check "--key $key: the Linux build's bytes before the signature" \
        cmp -s -n $((size - length)) "$work/linux/signed.bin" signed.bin
    if [ "$key" = ed25519 ]; then
        check "--key $key: the Linux build's image" cmp -s "$work/linux/signed.bin" signed.bin
        continue
    fi
    head -c "$signed" signed.bin >image.part
    tail -c "$length" signed.bin >signature
    openssl pkey -in key.pem -pubout -out public.pem 2>/dev/null
    pss=()
    [[ $key == rsa-* ]] && pss=(-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32)
    check "--key $key: openssl verifies the signature" \
        openssl dgst -sha256 "${pss[@]}" -verify public.pem -signature signature -out /dev/null image.part
done

# Without libgcrypt-20.dll beside it, --key is refused, nothing written.
mkdir -p "$work/alone" && cp "$exe" "$work/alone/"
prepare="cp '$keys/ed25519.pem' key.pem"
exe_with_dlls=$exe exe="$work/alone/$(basename "$exe")"
run --key key.pem --mcuboot 8000000:8040000 -a 8000200 fw.bin
exe=$exe_with_dlls prepare=
check "--key without the DLL: refused" test "$status:$err" = "255:--key needs libgcrypt-20.dll, which cannot be loaded (Module not found): keep it and libgpg-error-0.dll beside fw2hex.exe, as the release's zip has them"
check "--key without the DLL: nothing written" test ! -e fw.hex

# A CRC over the image and a gap, then that text read back through -i, with
# LF and with CR LF line ends: the Linux build's records each time.
"$linux" -c 8000000:8030000 -o "$work/linux/crc.hex" "$work/linux/fw.bin"
run -c 8000000:8030000 -o crc.hex fw.bin
check "-c: Linux text with CR LF" cmp -s <(crlf "$work/linux/crc.hex") crc.hex
for ends in lf crlf; do
    prepare="cp '$work/linux/crc.hex' lf.hex && crlf lf.hex >crlf.hex"
    run -i $ends.hex -o back.hex
    prepare=
    check "-i of $ends text: Linux text with CR LF" cmp -s <(crlf "$work/linux/crc.hex") back.hex
done

# The other formats: the binary ones byte for byte the Linux build's (no
# text-mode translation), S-records with CR LF, the header named without
# the folders before a backslash.
for format in bin dfu uf2:stm32f4; do
    "$linux" -O "$format" -c 8000000:8030000 -o "$work/linux/crc.out" "$work/linux/fw.bin"
    run -O "$format" -c 8000000:8030000 -o crc.out fw.bin
    check "-O $format: the Linux build's bytes" cmp -s "$work/linux/crc.out" crc.out
    cp "$work/linux/crc.out" "$work/linux/crc.${format%%:*}"
done
"$linux" -o "$work/linux/crc.srec" -c 8000000:8030000 "$work/linux/fw.bin"
prepare="mkdir out" run -o 'out\crc.srec' -c 8000000:8030000 fw.bin
check "-o out\\crc.srec: Linux text with CR LF" cmp -s <(crlf "$work/linux/crc.srec") out/crc.srec

# Parts in every format, the operand told by its content, read as the
# Linux build reads them.
for part in "$work/linux/crc.dfu" "$work/linux/crc.uf2" "$work/linux/crc.srec" \
            "$root/tests/fuzz/corpus/part/data-behind-text.elf"; do
    name=$(basename "$part")
    "$linux" -o "$work/linux/part.hex" "$part"
    prepare="cp '$part' ." run -o part.hex "$name"
    prepare=
    check "$name read as a part: the Linux build's text with CR LF" cmp -s <(crlf "$work/linux/part.hex") part.hex
done

# Messages and exit statuses.
image="$root/examples/blinky.bin"
run
check "no operand: status 255" [ "$status" = 255 ]
check "no operand: message" [ "$err" = "No input file specifed." ]
check "no operand: usage" [ "$(head -n 1 <<<"$out")" = "Binary STM32 to iHex" ]
run nofile.bin
check "missing file: 254 and message with the system's reason" starts "$status $err" "254 Cannot open file 'nofile.bin': "
prepare="mkdir dir.bin" run dir.bin
check "folder as input: 254 and message with the system's reason" starts "$status $err" "254 Cannot open file 'dir.bin': "
prepare="mkdir fw.hex" run fw.bin
check "folder as output: 253 and message with the system's reason" starts "$status $err" "253 Cannot create file 'fw.hex': "
run -a FFFFFFFF fw.bin
check "past 4 GiB: 252 and message" \
    [ "$status $err" = "252 Image 'fw.bin' does not fit in the 32-bit address space at 0xFFFFFFFF" ]
check "past 4 GiB: no output" [ ! -e fw.hex ]

# The output where the user wants it, and the version.
run -o 'sub\out.hex' fw.bin
check "-o into a missing folder: 253 and message with the system's reason" \
    starts "$status $err" "253 Cannot create file 'sub\out.hex': "
check "the system's reason without the period it ends with" [ "${err: -1}" != "." ]
prepare="mkdir sub" run -o 'sub\out.hex' fw.bin
check "-o sub\\out.hex: the text with CR LF" cmp -s <(crlf "$root/examples/expected/blinky.hex") sub/out.hex
check "-o sub\\out.hex: no fw.hex" [ ! -e fw.hex ]
run -o - fw.bin
check "-o -: the text with CR LF on standard output" cmp -s <(crlf "$root/examples/expected/blinky.hex") out.txt
check "-o -: no file" [ "$(ls)" = "$(printf 'err.txt\nfw.bin\nout.txt')" ]
win "$exe" -o - fw.bin 2>/dev/null | cat >piped.txt
check "-o - through a pipe: the text with CR LF" cmp -s <(crlf "$root/examples/expected/blinky.hex") piped.txt
# Standard input is read as bytes: no CR lost, no end at 0x1A, both of
# which the random image holds; a part from a pipe is kept in a temporary file.
"$linux" -o "$work/linux/random.hex" "$work/random.bin"
run # a fresh folder
win "$exe" -o piped.hex - <"$work/random.bin" 2>/dev/null
check "a raw image through standard input: every byte" cmp -s <(crlf "$work/linux/random.hex") piped.hex
cat "$work/random.bin" | win "$exe" -o piped.hex - 2>/dev/null
check "a raw image through a pipe: every byte" cmp -s <(crlf "$work/linux/random.hex") piped.hex
cat "$work/linux/random.hex" | win "$exe" -O bin -o part.bin -i - 2>/dev/null
check "an Intel HEX part through a pipe" cmp -s "$work/random.bin" part.bin
run -o fw.bin fw.bin
check "-o over the input: 253 and message" [ "$status $err" = "253 Output file 'fw.bin' would overwrite the input" ]
check "-o over the input: untouched" cmp -s "$image" fw.bin
run # a fresh folder
win "$exe" -o - fw.bin >>fw.bin 2>err.txt
check "-o - appended to the input: 253" [ "$?" = 253 ]
check "-o - appended to the input: untouched" cmp -s "$image" fw.bin
# Several images: IMAGE after the first ':' may be a drive path.
mkdir -p "$work/linux" && cp "$image" "$work/linux/fw.bin" && "$linux" -o "$work/linux/merged.hex" -m "1800:$work/linux/fw.bin" "$work/linux/fw.bin"
run -o merged.hex -m "1800:$(winepath -w "$work/run/fw.bin" 2>/dev/null)" fw.bin
check "-m 1800:Z:\\...\\fw.bin: the Linux text with CR LF" cmp -s <(crlf "$work/linux/merged.hex") merged.hex
prepare="cp fw.bin app.bin" run -o app.bin -m 9000000:app.bin fw.bin
check "-o over an -m image: 253" [ "$status" = 253 ]
check "-o over an -m image: untouched" cmp -s "$image" app.bin
run -V
check "-V: the version" [ "$status $out" = "0 fw2hex $(sed -n 's/^project(fw2hex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")" ]

# Backslash paths.
prepare='mkdir dir.v2 && cp fw.bin dir.v2/fw' run 'dir.v2\fw'
check "dir.v2\\fw: status 0" [ "$status" = 0 ]
check "dir.v2\\fw derives dir.v2\\fw.hex" cmp -s <(crlf "$root/examples/expected/blinky.hex") dir.v2/fw.hex

# Forward slashes, as CMake and Git Bash write paths.
prepare='mkdir sub && cp fw.bin sub/fw.bin' run sub/fw.bin
check "sub/fw.bin derives sub/fw.hex" cmp -s <(crlf "$root/examples/expected/blinky.hex") sub/fw.hex
prepare='mkdir out.v2 && cp fw.bin out.v2/fw' run out.v2/fw
check "out.v2/fw derives out.v2/fw.hex" cmp -s <(crlf "$root/examples/expected/blinky.hex") out.v2/fw.hex

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

# Exit statuses as a batch file sees them: "if errorlevel 1" is true for
# every failure.
printf '@echo off\r\n"%s" %%1\r\nif errorlevel 1 goto failed\r\necho converted\r\nexit /b 0\r\n:failed\r\necho failed\r\n' \
    "$(winepath -w "$exe" 2>/dev/null)" >"$work/errorlevel.bat"
prepare="cp '$work/errorlevel.bat' ." run
check "batch file: no image named is a failure" [ "$(wine cmd /c errorlevel.bat 2>/dev/null | tr -d '\r' | tail -n 1)" = failed ]
check "batch file: a missing image is a failure" [ "$(wine cmd /c errorlevel.bat nofile.bin 2>/dev/null | tr -d '\r')" = failed ]
check "batch file: a conversion is a success" [ "$(wine cmd /c errorlevel.bat fw.bin 2>/dev/null | tr -d '\r')" = converted ]

# Names: any script, never a look-alike, the name the system stores, any
# length. Run once for each code page, as the ANSI calls would differ.
long=$(printf 'd%.0s' {1..120})
names_pass() { # code page, then a name outside it that has a look-alike inside it
    local page=$1 outside=$2 name
    for name in Прошивка 固件 😀fw "$outside"; do
        prepare="cp fw.bin '$name.bin'" run "$name.bin"
        check "cp$page: $name.bin converts to $name.hex" cmp -s <(crlf "$root/examples/expected/blinky.hex") "$name.hex"
    done
    local lookalike
    lookalike=$(iconv -f utf-8 -t "cp$page//TRANSLIT" <<<"$outside" 2>/dev/null | iconv -f "cp$page" -t utf-8)
    prepare="cp fw.bin '$outside.bin' && head -c 100 /dev/zero >'$lookalike.bin'" run "$outside.bin"
    check "cp$page: $outside.bin beside $lookalike.bin: $outside.hex only" \
        [ "$status" = 0 -a -s "$outside.hex" -a ! -e "$lookalike.hex" ]
    run "nö$outside.bin" 2>/dev/null
    check "cp$page: missing non-ASCII name, UTF-8 in the message" \
        starts "$status $(cat err.txt)" "254 Cannot open file 'nö$outside.bin': "
    prepare="cp fw.bin firmware-release.bin" run fw.bin
    local short
    short=$(win cmd /c dir /x firmware-release.bin 2>/dev/null | tr -d '\r' | awk '/firmware-release.bin$/ {print $(NF-1)}')
    prepare="cp fw.bin firmware-release.bin" run "$short"
    check "cp$page: short name $short writes firmware-release.hex" \
        [ "$status" = 0 -a -s firmware-release.hex -a "$(ls ./*.hex)" = ./firmware-release.hex ]
    run fw.bin.
    check "cp$page: trailing dot: fw.bin. writes fw.hex" [ "$status" = 0 -a -s fw.hex ]
    prepare="mv fw.bin fw" run "fw .  "
    check "cp$page: trailing dots and spaces: 'fw .  ' writes fw.hex" [ "$status" = 0 -a -s fw.hex ]
    prepare="mkdir -p $long/$long/$long && cp fw.bin $long/$long/$long/x.hex" run "$long\\$long\\$long\\x.hex"
    check "cp$page: x.hex past 260 characters: 253" [ "$status" = 253 ]
    check "cp$page: x.hex past 260 characters: input unchanged" cmp -s "$image" "$long/$long/$long/x.hex"
    prepare="mkdir -p $long/$long/$long && cp fw.bin $long/$long/$long/fw.bin" run "$long/$long/$long/fw.bin"
    check "cp$page: a relative path past 260 characters converts" [ "$status" = 0 -a -s "$long/$long/$long/fw.hex" ]
    prepare="mkdir -p $long/$long/$long && cp fw.bin $long/$long/$long/fw.bin" \
        run "$(winepath -w "$work/run" 2>/dev/null)\\$long\\$long\\$long\\fw.bin"
    check "cp$page: a full path past 260 characters converts" [ "$status" = 0 -a -s "$long/$long/$long/fw.hex" ]
    prepare="mkdir -p $long/$long/$long && cp fw.bin $long/$long/$long/x.hex" \
        run "$(winepath -w "$work/run" 2>/dev/null)\\$long\\$long\\$long\\x.hex"
    check "cp$page: full x.hex path past 260 characters: 253" [ "$status" = 253 ]
    check "cp$page: full x.hex path past 260 characters: input unchanged" cmp -s "$image" "$long/$long/$long/x.hex"
}
names_pass 1252 fāw
# Code page 1251, from a Russian locale built into a private folder.
mkdir -p "$work/locale"
if localedef -i ru_RU -f UTF-8 "$work/locale/ru_RU.UTF-8" 2>/dev/null || [ -d "$work/locale/ru_RU.UTF-8" ]; then
    locale=(LOCPATH="$work/locale" LC_ALL=ru_RU.UTF-8)
    names_pass 1251 café
else
    echo "FAILED: no ru_RU.UTF-8 locale for the code page 1251 pass (Debian package locales)"
    failed=$((failed + 1))
fi

echo "windows: $passed passed, $failed failed"
[ "$failed" = 0 ]
