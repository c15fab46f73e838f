# bash completion of kvplant: its commands, their options, the machine's
# network interfaces for -i, and files for the options that take one and for
# the release.

_kvplant() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    case $prev in
    -i | --interface)
        COMPREPLY=($(compgen -W "$(command ls /sys/class/net 2>/dev/null)" -- "$cur"))
        return
        ;;
    -o | --output | --csv | --from | --inventory | --public-key | --state | --audit | --identity | --known-hosts | --diff)
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    -a | --address | -t | --timeout | -p | --port | --waves | --parallel | --max-failures | --give-up | --user | \
        --ssh-port | --ssh-timeout | --only | --baseline | --expect-app | --expect-image | --host | --listen | --rediscover)
        return
        ;;
    esac

    local command=${COMP_WORDS[1]}
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W 'inventory diff preflight rollout resume send wait serve --help --version' -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        local ssh='--user --identity --known-hosts --accept-new-host-keys --ssh-port --ssh-timeout' options='-h --help'
        case $command in
        inventory) options+=' -o --output --csv --ansible --list --host -i --interface -a --address -t --timeout
                             -4 --ipv4 -6 --ipv6 -p --port --from' ;;
        diff) options+=' --json' ;;
        preflight) options+=' --inventory --public-key --json' ;;
        rollout) options+=" --inventory --public-key --waves --parallel --max-failures --give-up --state --audit
                            --json --only $ssh" ;;
        resume) options+=" --state --json $ssh" ;;
        send) options+=" --json $ssh" ;;
        wait) options+=' --baseline --expect-app --expect-image --give-up --json' ;;
        serve) options+=' --inventory --state --audit --diff --listen --allow-remote --rediscover' ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _kvplant kvplant
