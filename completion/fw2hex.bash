# bash completion for fw2hex: its options before the image, nothing after
# -a (a hexadecimal address), any file after -o, image files after the
# colon of -m ADDRESS:IMAGE, the algorithms after the second colon of
# -c START:END:ALGORITHM, ELF, Intel HEX, S-record, DfuSe and UF2 files
# after -i, the formats after -O and the board families after its uf2:,
# the choices of the MCUboot image's options (nothing for a slot, a size
# or a version), and image files and those formats for the operand.
_fw2hex()
{
    local cur=${COMP_WORDS[COMP_CWORD]} word i
    local want_address=0 want_output=0 want_placed=0 want_crc=0 want_hex=0 want_format=0 crc= options_done=0
    local want_value= slot=0
    local families='stm32f0 stm32f1 stm32f2 stm32f3 stm32f4 stm32f407 stm32f407vg stm32f411xc stm32f411xe stm32f7
                    stm32g0 stm32g4 stm32h5 stm32h7 stm32l0 stm32l1 stm32l4 stm32l5 stm32wb stm32wl' 
    # The option scan stops at the first operand: after it, nothing counts.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if ((want_crc)); then
            # -c's argument: one word, or its parts and the ':' between them.
            if [[ -z $crc || $word == : || $crc == *: ]]; then
                crc+=$word
                continue
            fi
            want_crc=0
        fi
        if [[ -n $want_value ]]; then
            want_value=
            continue
        fi
        if ((want_format == 1)); then
            # -O uf2:FAMILY is three words (uf2, ':', FAMILY) where
            # COMP_WORDBREAKS holds ':'.
            [[ $word == uf2 ]] && want_format=2 || want_format=0
        elif ((want_format == 2)); then
            [[ $word == : ]] && want_format=3 || want_format=0
        elif ((want_format == 3)); then
            want_format=0
        elif ((want_placed == 1)); then
            # -m ADDRESS:IMAGE is three words (ADDRESS, ':', IMAGE) where
            # COMP_WORDBREAKS holds ':', as it does by default.
            [[ $word == *:* ]] && want_placed=0 || want_placed=2
        elif ((want_placed == 2)); then
            [[ $word == : ]] && want_placed=3 || want_placed=0
        elif ((want_address || want_output || want_placed || want_hex)); then
            want_address=0 want_output=0 want_placed=0 want_hex=0
        elif ((options_done)); then
            return
        elif [[ $word == -- ]]; then
            options_done=1
        elif [[ $word == --* ]]; then
            # A long option takes the next word unless its value is after '='.
            case ${word%%=*} in
                --address) [[ $word == *=* ]] || want_address=1 ;;
                --output) [[ $word == *=* ]] || want_output=1 ;;
                --merge) [[ $word == *=* ]] || want_placed=1 ;;
                --crc) [[ $word == *=* ]] || want_crc=1 ;;
                --input) [[ $word == *=* ]] || want_hex=1 ;;
                --format) [[ $word == *=* ]] || want_format=1 ;;
                # The slot, START:END, is read as -c's START:END.
                --mcuboot) [[ $word == *=* ]] || { want_crc=1 slot=1; } ;;
                --header-size | --image-version | --align | --max-align | --max-sectors | --security-counter | --erased-val | \
                    --public-key-format)
                    [[ $word == *=* ]] || want_value=${word%%=*} ;;
                --key) [[ $word == *=* ]] || want_output=1 ;;
            esac
        elif [[ $word == -?* ]]; then
            # -a or -o, or a cluster ending in one (-sa, -so), takes the next word.
            [[ ${word#-} =~ ^[shVv]*a$ ]] && want_address=1
            [[ ${word#-} =~ ^[shVv]*o$ ]] && want_output=1
            [[ ${word#-} =~ ^[shVv]*m$ ]] && want_placed=1
            [[ ${word#-} =~ ^[shVv]*c$ ]] && want_crc=1
            [[ ${word#-} =~ ^[shVv]*i$ ]] && want_hex=1
            [[ ${word#-} =~ ^[shVv]*O$ ]] && want_format=1
        else
            return
        fi
    done
    ((want_address)) && return
    if [[ -n $want_value ]]; then
        local choices=
        case $want_value in
            --align) choices='1 2 4 8 16 32' ;;
            --max-align) choices='8 16 32' ;;
            --erased-val) choices='0 0xff' ;;
            --security-counter) choices='auto' ;;
            --public-key-format) choices='hash full' ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "$choices" -- "$cur")
        return
    fi
    if ((want_format == 1)); then
        if [[ $cur == uf2:* ]]; then
            mapfile -t COMPREPLY < <(compgen -P uf2: -W "$families" -- "${cur#uf2:}")
        else
            mapfile -t COMPREPLY < <(compgen -W 'hex bin dfu srec uf2' -- "$cur")
        fi
        return
    fi
    if ((want_format == 3)); then
        mapfile -t COMPREPLY < <(compgen -W "$families" -- "$cur")
        return
    fi
    ((want_format == 2)) && return
    if ((want_crc)) && [[ -z $crc || $cur == : || $crc == *: ]]; then
        # The algorithm after the second colon, in either form.
        local text=$crc$cur colons=${crc//[^:]/}${cur//[^:]/}
        [[ $cur == : ]] && return
        ((${#colons} == 2 && !slot)) || return
        local prefix=${cur%"${cur##*:}"}
        mapfile -t COMPREPLY < <(compgen -P "$prefix" -W 'stm32 crc32' -- "${text##*:}")
        return
    fi
    # -m ADDRESS:IMAGE: nothing for the address, images after its colon.
    local prefix=
    if ((want_placed == 1)); then
        [[ $cur == *:* ]] || return
        prefix=${cur%%:*}: cur=${cur#*:}
    elif ((want_placed == 2)); then
        return
    fi
    if ((want_output)); then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        compopt -o filenames 2>/dev/null
        return
    fi
    if [[ $cur == -* ]] && ((!options_done)); then
        mapfile -t COMPREPLY < <(compgen -W '-a -m -i -c -s -o -O -v -h -V --address --omit-blank --output --format
                                             --merge --input --crc --verbose --help --version --mcuboot --header-size
                                             --image-version --align --max-align --max-sectors --overwrite-only --pad
                                             --confirm --security-counter --erased-val --key --public-key-format' -- "$cur")
        return
    fi
    # Folders to walk into, and files by their usual extensions: raw images
    # after -m, the formats with addresses after -i, either for the
    # operand; any file when none of them matches.
    local images=() others=() name raw='bin|img|raw' parts='elf|axf|out|hex|ihex|ihx|srec|s19|s28|s37|mot|dfu|uf2'
    local extensions="@($raw|$parts)"
    ((want_placed)) && extensions="@($raw)"
    ((want_hex)) && extensions="@($parts)"
    while IFS= read -r name; do
        if [[ -d $name ]]; then
            COMPREPLY+=("$prefix$name")
        elif [[ ${name,,} == *.$extensions ]]; then
            images+=("$name")
        else
            others+=("$name")
        fi
    done < <(compgen -f -- "$cur")
    if ((${#images[@]} > 0)); then
        COMPREPLY+=("${images[@]/#/$prefix}")
    else
        COMPREPLY+=("${others[@]/#/$prefix}")
    fi
    compopt -o filenames 2>/dev/null
}
complete -F _fw2hex fw2hex
