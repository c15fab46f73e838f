# bash completion of kvpack: its commands, each command's options, and for an
# option's value the files, folders or words it takes.

_kvpack() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command=${COMP_WORDS[1]}
    COMPREPLY=()

    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W 'ipk cry sign bundle image inspect --help --version' -- "$cur"))
        return
    fi

    case $prev in
    --control | --script | --key-file | --public-key | --signature | --package | \
        --manifest | --sign-key | --key | -o | --output)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    --data)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        return
        ;;
    --platform)
        local platforms='all KV2_TOUCH KORVEL_R KV_SR'
        [[ $command == inspect ]] && platforms='KV2_TOUCH KORVEL_R KV_SR kv2-touch korvel-r korvel-sr'
        COMPREPLY=($(compgen -W "$platforms" -- "$cur"))
        return
        ;;
    --filetype)
        if [[ $command == bundle ]]; then
            COMPREPLY=($(compgen -W 'UPDATE UPDATE-FULL UPDATEFULL' -- "$cur"))
        else
            COMPREPLY=($(compgen -W 'APP-CRY' -- "$cur"))
        fi
        return
        ;;
    --pass)
        compopt -o nospace 2>/dev/null
        COMPREPLY=($(compgen -W 'env: file: fd: stdin pass:' -- "$cur"))
        return
        ;;
    --swpart | --package-name | --header-length | --image-rev)
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        local options='--help -q --quiet -v --verbose'
        case $command in
        ipk) options+=' --control --data --script -o --output' ;;
        cry) options+=' --platform --swpart --package-name --filetype --header-length --key-file -o --output' ;;
        sign) options+=' --key --pass --pkcs11-module --force -o --output' ;;
        bundle) options+=' --manifest --filetype --header-length --sign-key --pass --pkcs11-module --key-file --strict --platform --swpart --package-name -o --output' ;;
        image) options+=' --sign-key --pass --pkcs11-module -o --output' ;;
        inspect) options+=' --platform --public-key --signature --package --key-file --image-rev --json' ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # The files a command works on; inspect also takes folders.
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _kvpack kvpack
