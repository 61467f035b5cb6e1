#!/usr/bin/env bash
# The bash completion, case by case: the words typed, then what it offers.
set -u
source "$1"
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
mkdir out.v2 && touch fw.bin fw.IMG notes.txt boot.hex

failures=0 cases=0
expect() { # expected offer, then the words typed (the last is being completed)
    local want=$1
    shift
    cases=$((cases + 1))
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    _fw2hex
    local got="" word
    while IFS= read -r word; do got+="$word "; done < <(((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)
    if [[ $got != "$want" ]]; then
        echo "fw2hex completion of [$*]: offered '$got', expected '$want'"
        failures=$((failures + 1))
    fi
}
expect "--address --align --confirm --crc --erased-val --format --header-size --help --image-version --input --key --max-align --max-sectors --mcuboot --merge --omit-blank --output --overwrite-only --pad --public-key-format --security-counter --verbose --version -O -V -a -c -h -i -m -o -s -v " fw2hex -
expect "boot.hex fw.IMG fw.bin notes.txt out.v2 " fw2hex --mcuboot 8010000:8040000 --key ""
expect "full "                   fw2hex --public-key-format f
expect "--omit-blank --output --overwrite-only " fw2hex --o
expect "16 "                     fw2hex --mcuboot 8010000:8040000 --align 4 --max-align 1
expect "0 0xff "                 fw2hex --mcuboot 8010000 : 8040000 --erased-val ""
expect "auto "                   fw2hex --security-counter a
expect ""                        fw2hex --mcuboot 8010000 : ""
expect ""                        fw2hex --image-version ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex --mcuboot 8010000 : 8040000 --image-version 1.2.3 --confirm ""
expect "boot.hex out.v2 "        fw2hex --input ""
expect "boot.hex fw.IMG fw.bin notes.txt out.v2 " fw2hex --output ""
expect "bin dfu hex srec uf2 "   fw2hex --format ""
expect ""                        fw2hex --address ""
expect "--header-size --help "   fw2hex --h
expect "-s "                     fw2hex -a 8004000 -s
expect ""                        fw2hex -a ""
expect ""                        fw2hex -sa ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -a8004000 ""
expect "fw.IMG fw.bin "          fw2hex -s f
expect "notes.txt "              fw2hex n
expect ""                        fw2hex fw.bin ""
expect ""                        fw2hex fw.bin -
expect "out.v2 "                 fw2hex -- o
expect ""                        fw2hex -- fw.bin ""
expect "boot.hex fw.IMG fw.bin notes.txt out.v2 " fw2hex -o ""
expect "boot.hex fw.IMG fw.bin notes.txt out.v2 " fw2hex -so ""
expect "notes.txt "              fw2hex -o n
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -o out.hex ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -oout.hex ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -ao ""
expect ""                        fw2hex -m 8008
expect "fw.IMG fw.bin out.v2 "   fw2hex -m 8008000 : ""
expect "8008000:fw.IMG 8008000:fw.bin 8008000:out.v2 " fw2hex -m 8008000:
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -m 8008000 : app.bin ""
expect ""                        fw2hex -c 8008
expect ""                        fw2hex -c 8008000 : 807F
expect "crc32 stm32 "            fw2hex -c 8008000 : 807FFFC : ""
expect "8008000:807FFFC:stm32 "  fw2hex -c 8008000:807FFFC:s
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -c 8008000 : 807FFFC ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -vc 8008000:807FFFC:crc32 ""
expect "boot.hex out.v2 "        fw2hex -i ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -i boot.hex ""
expect "bin dfu hex srec uf2 "   fw2hex -O ""
expect "stm32h5 stm32h7 "        fw2hex -sO uf2 : stm32h
expect "uf2:stm32l0 uf2:stm32l1 uf2:stm32l4 uf2:stm32l5 " fw2hex -O uf2:stm32l
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -O uf2 : stm32f4 ""
expect "boot.hex fw.IMG fw.bin out.v2 " fw2hex -O dfu ""
[[ $(complete -p fw2hex) == *_fw2hex* ]] || { echo "fw2hex has no completion"; failures=$((failures + 1)); }
echo "$((cases + 1 - failures)) passed, $failures failed"
((failures == 0))
