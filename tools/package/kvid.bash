# bash completion of kvid: its commands, their options, the machine's network
# interfaces for -i and known host names for the controller's address.

_kvid() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    case $prev in
    -i | --interface)
        local interfaces
        interfaces=$(command ls /sys/class/net 2>/dev/null)
        COMPREPLY=($(compgen -W "$interfaces" -- "$cur"))
        return
        ;;
    -a | --address)
        COMPREPLY=($(compgen -A hostname -- "$cur"))
        return
        ;;
    -t | --timeout | --interval | --give-up | -p | --port)
        return
        ;;
    esac

    # The command is the first word that is neither an option nor its value.
    local i command='' word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
        -i | --interface | -a | --address | -t | --timeout | --interval | --give-up | -p | --port) ((i++)) ;;
        -*) ;;
        *) command=$word && break ;;
        esac
    done

    if [[ $cur == -* ]]; then
        local options='-i --interface -t --timeout -p --port -q --quiet -v --verbose -h --help -4 --ipv4 -6 --ipv6'
        case $command in
        discover) options+=' -a --address -H --no-header --json' ;;
        status) options+=' --json --follow --interval --give-up --through-reboot' ;;
        netbr) options+=' --json' ;;
        '') options+=' -V --version' ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W 'discover status netbr' -- "$cur"))
    elif [[ $command == status || $command == netbr ]]; then
        COMPREPLY=($(compgen -A hostname -- "$cur"))
    fi
}
complete -F _kvid kvid
