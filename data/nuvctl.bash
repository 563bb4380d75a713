# bash completion for nuvctl(1). Installed as
# <prefix>/share/bash-completion/completions/nuvctl; needs nothing from the
# bash-completion package.

_nuvctl() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="status watch history health refresh kill records cloud help"
    COMPREPLY=()

    # The command and, for records and cloud, the subcommand: the first
    # words that are not options or option values.
    local command="" sub="" word i
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --container|--database|--count|--name|--title|--since) ((i++)); continue ;;
            -*) continue ;;
        esac
        if [[ -z $command ]]; then command=$word; elif [[ -z $sub ]]; then sub=$word; fi
    done

    case $prev in
        --database) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --container|--count|--name|--title) return ;;
        --since) COMPREPLY=($(compgen -W "90m 24h 7d" -- "$cur")); return ;;
    esac

    local words=""
    case $command in
        "") words="$commands --help --version" ;;
        help) [[ -z $sub ]] && words="$commands" ;;
        status) words="--json --help" ;;
        watch) words="--json --count --help" ;;
        history|health) words="--json --since --help" ;;
        refresh|kill) words="--help" ;;
        records)
            case $sub in
                "") words="list add remove help --container --database --help" ;;
                list) words="--json --help" ;;
                add) words="--name --title --help" ;;
                remove) words="--help" ;;
            esac ;;
        cloud)
            case $sub in
                "") words="status login logout help --help" ;;
                status) words="--check --help" ;;
                login|logout) words="--help" ;;
            esac ;;
    esac
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _nuvctl nuvctl
