# bash completion for pelkisp(1)                            -*- shell-script -*-
#
# Installed as /usr/share/bash-completion/completions/pelkisp; it uses the
# helpers of the bash-completion package (_init_completion, _filedir).
# Completes the options, the commands, device names, baud rates, the values
# of --format, --out-format and --bank, file names, and for -p/--port the
# names COM1..COM4 and sim plus the serial ports `pelkisp ports` lists
# (also after a comma, for a list of ports).

# The device paths of the machine's serial ports, one a line: the lines of
# `pelkisp ports` that start with one. None when the program cannot be run,
# takes too long or finds no port.
_pelkisp_machine_ports()
{
    local program=$1 listing first rest IFS=$' \t\n'
    [[ $program == \~* ]] && program=$HOME${program#\~}
    listing=$(timeout 5 "$program" ports 2>/dev/null </dev/null) || true
    while read -r first rest; do
        [[ $first == /dev/* ]] && printf '%s\n' "$first"
    done <<<"$listing"
}

_pelkisp_port_values()
{
    local prefix="" value=$cur
    if [[ $value == *,* ]]; then
        prefix=${value%,*},
        value=${value##*,}
    fi
    local IFS=$'\n' names
    names=$(printf '%s\n' COM1 COM2 COM3 COM4 sim && _pelkisp_machine_ports "$1")
    COMPREPLY=($(compgen -P "$prefix" -W "$names" -- "$value"))
    # Any other device path (/dev/serial/by-id/...) as a file name.
    if [[ -z $prefix && $value == /* ]]; then
        local found=("${COMPREPLY[@]}")
        _filedir
        COMPREPLY+=("${found[@]}")
    fi
}

_pelkisp()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        -p | --port)
            _pelkisp_port_values "${words[0]}"
            return
            ;;
        -b | --baud)
            COMPREPLY=($(compgen -W '110 300 600 1200 2400 4800 9600 14400
                19200 38400 56000 57600 115200' -- "$cur"))
            return
            ;;
        -d | --device)
            COMPREPLY=($(compgen -W 'W78E516B W78LE516 W78E58B W78LE58 W78E858
                W77E532' -- "$cur"))
            return
            ;;
        --format | --out-format)
            COMPREPLY=($(compgen -W 'hex bin' -- "$cur"))
            return
            ;;
        --bank)
            COMPREPLY=($(compgen -W '0 1' -- "$cur"))
            return
            ;;
        --sim-flash | --log)
            _filedir
            return
            ;;
        --trace)
            # Its FILE goes only with '=': "--trace FILE" is --trace and FILE.
            if $split; then
                _filedir
                return
            fi
            ;;
        --before | --after | --start | --stop | --offset)
            # A sequence or a hexadecimal address: nothing to offer.
            return
            ;;
    esac
    $split && return

    # The command and how many files follow it so far.
    local i word command="" files=0 options_end=false
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        if ! $options_end; then
            case $word in
                --)
                    options_end=true
                    continue
                    ;;
                -p | --port | -b | --baud | -d | --device | --sim-flash | \
                    --before | --after | --log | --format | --start | \
                    --stop | --offset | --bank | --out-format)
                    ((i++))
                    continue
                    ;;
                -*)
                    continue
                    ;;
            esac
        fi
        if [[ -z $command ]]; then
            command=$word
        else
            ((files++))
        fi
    done

    if [[ $cur == -* ]] && ! $options_end; then
        COMPREPLY=($(compgen -W '--port -p --baud -b --device -d --sim-flash
            --before --after --log --all-blocks --force --no-erase
            --no-verify --format --start --stop --offset --bank --out-format
            --trace --trace= --verbose -v --quiet -q --help -h --version -V
            --' -- "$cur"))
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
        return
    fi

    case $command in
        "")
            COMPREPLY=($(compgen -W 'program verify erase blank checksum
                convert ports' -- "$cur"))
            ;;
        program | verify | checksum)
            ((files < 1)) && _filedir
            ;;
        convert)
            ((files < 2)) && _filedir
            ;;
    esac
} &&
    complete -F _pelkisp pelkisp

# ex: filetype=sh
