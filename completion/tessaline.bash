# bash completion for tessaline, tessaline-simd and tessaline-mktiff.

_tessaline() {
    local cur prev words cword
    _init_completion -s 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local commands="send count list get rm log settings password receive-settings wait receive cancel ews web devices history"
    local command= i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --timeout|--retry) ((i++)) ;;
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands --json --timeout= --retry= --verbose --help --version" -- "$cur"))
        [[ $cur == --timeout=* || $cur == --retry=* ]] && COMPREPLY=()
        return
    fi
    case $command in
        send)
            case $cur in
                --resolution=*) COMPREPLY=($(compgen -W "fine normal" -- "${cur#*=}")); return ;;
                --paper=*) COMPREPLY=($(compgen -W "a4 letter" -- "${cur#*=}")); return ;;
            esac
            case $prev in
                --resolution) COMPREPLY=($(compgen -W "fine normal" -- "$cur")); return ;;
                --paper) COMPREPLY=($(compgen -W "a4 letter" -- "$cur")); return ;;
            esac
            [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "--prefix= --resolution= --paper= --raw --timeout= --help" -- "$cur")); compopt -o nospace 2>/dev/null; return; }
            COMPREPLY=($(compgen -f -- "$cur")) ;;
        list)
            COMPREPLY=($(compgen -W "-l --long --timeout= --help" -- "$cur")) ;;
        get)
            case $prev in -o|--output) COMPREPLY=($(compgen -f -- "$cur")); return ;; esac
            case $prev in -d|--directory) COMPREPLY=($(compgen -d -- "$cur")); return ;; esac
            [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "-o --output= --pdf --all -d --directory= --no-clobber --timeout= --retry= --help" -- "$cur")); return; }
            COMPREPLY=($(compgen -W "$("${words[0]}" list 2>/dev/null)" -- "$cur")) ;;
        wait)
            COMPREPLY=($(compgen -W "--timeout= --help" -- "$cur")) ;;
        receive)
            case $prev in --exec|--exec-timeout|--retry-max|--timeout|--retry) return ;; esac
            [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "--pdf --remove --exec= --exec-timeout= --once --retry-max= --timeout= --retry= --help" -- "$cur")); return; }
            COMPREPLY=($(compgen -d -- "$cur")) ;;
        rm|log)
            COMPREPLY=($(compgen -W "$("${words[0]}" list 2>/dev/null) --help" -- "$cur")) ;;
        settings)
            COMPREPLY=($(compgen -W "set --show-password --help Password= Prefix= OutsideLineAccess= FaxName=
                FaxNumber= RingPattern= PulseDialing= bThumbFirst= bPrintConfigReport= AutoAnswer= DeviceDateTime=" \
                -- "$cur")) ;;
        history)
            COMPREPLY=($(compgen -W "--last --help" -- "$cur")) ;;
        password)
            COMPREPLY=($(compgen -W "is-set check --help" -- "$cur")) ;;
        ews)
            case $prev in --write) COMPREPLY=($(compgen -f -- "$cur")); return ;; esac
            COMPREPLY=($(compgen -W "--write --read --help" -- "$cur")) ;;
        web)
            case $prev in --port|--device-timeout) return ;; --listen) COMPREPLY=($(compgen -W "127.0.0.1 ::1" -- "$cur")); return ;; esac
            COMPREPLY=($(compgen -W "--port= --listen= --device-timeout= --help" -- "$cur")) ;;
        *)
            COMPREPLY=($(compgen -W "--help" -- "$cur")) ;;
    esac
}

_tessaline_simd() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} i ctl=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == ctl ]] && { ctl=$i; break; }
    done
    if ((ctl > 0)); then
        _tessaline_simd_ctl "$ctl"
        return
    fi
    case $prev in
        --dir|--state|--faxes) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --faults) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --name|--block-size|--password|--fax-number|--receive-settings|--socket-group|--keep-jobs|--keep-job-bytes) return ;;
    esac
    COMPREPLY=($(compgen -W "--dir --name --state --faxes --loopback --any-job --block-size --password --fax-number
        --receive-settings --socket-group --keep-jobs --keep-job-bytes --faults --help --version ctl" -- "$cur"))
}

# The words after "ctl" (at index $1): a command of the running device.
_tessaline_simd_ctl() {
    local at=$1 cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command=${COMP_WORDS[at + 1]} sub=${COMP_WORDS[at + 2]}
    local fax_commands="send-begin send-end recipients list get log remove password-set check-password read-settings
        save-settings data receive-settings wait cancel ews"
    local actions="reply-status reply-length reply-extra reply-param1 reply-bad-magic stall drop delay fail short
        block-status block-zero block-oversize closing-status closing-length"
    if ((COMP_CWORD == at + 1)); then
        COMPREPLY=($(compgen -W "status receive fault jobs job traffic reset --help" -- "$cur"))
        return
    fi
    case $prev in
        -o|--output) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --from|--cis|--name|--times|--last|--at|--block) return ;;
    esac
    case $command in
        receive)
            [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "--from --cis --name --json" -- "$cur")); return; }
            COMPREPLY=($(compgen -f -- "$cur")) ;;
        fault)
            if ((COMP_CWORD == at + 2)); then
                COMPREPLY=($(compgen -W "add list clear" -- "$cur"))
            elif [[ $sub == add ]] && ((COMP_CWORD == at + 3)); then
                COMPREPLY=($(compgen -W "$fax_commands" -- "$cur"))
            elif [[ $sub == add ]] && ((COMP_CWORD == at + 4)); then
                COMPREPLY=($(compgen -W "$actions" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "--times --at --block --json" -- "$cur"))
            fi ;;
        job) COMPREPLY=($(compgen -W "-o --json" -- "$cur")) ;;
        traffic) COMPREPLY=($(compgen -W "--last --json" -- "$cur")) ;;
        *) COMPREPLY=($(compgen -W "--json" -- "$cur")) ;;
    esac
}

_tessaline_mktiff() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    case $prev in
        --resolution) COMPREPLY=($(compgen -W "fine normal" -- "$cur")); return ;;
        --paper) COMPREPLY=($(compgen -W "a4 letter" -- "$cur")); return ;;
    esac
    [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "--resolution --paper --help --version" -- "$cur")); return; }
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -F _tessaline tessaline
complete -F _tessaline_simd tessaline-simd
complete -F _tessaline_mktiff tessaline-mktiff
