# bash completion for pictrace-cli: its commands, its options and their values.
_pictrace_cli()
{
    local cur prev words cword
    _init_completion || return

    local commands="build build-sweep search multi monster info index make-demo"
    local options="-C --workdir -r --radius -c --step-divisor --report --json -j --threads
        --html --plot --both --max-megapixels --search --aligned --scales --fine --fine-radius --index
        --check -q --quiet --force -h --help -v --version"

    case $prev in
        -C | --workdir)
            _filedir -d
            return
            ;;
        --report | --json)
            _filedir
            return
            ;;
        --fine)
            _filedir ft1
            return
            ;;
        --html)
            _filedir html
            return
            ;;
        --plot)
            _filedir svg
            return
            ;;
        --search)
            COMPREPLY=($(compgen -W "literal aligned indexed" -- "$cur"))
            return
            ;;
        -r | --radius | -c | --step-divisor | -j | --threads | --max-megapixels | --scales | \
            --fine-radius)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # The command is the first word that is not an option or an option's value.
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -C | --workdir | -r | --radius | -c | --step-divisor | --report | --json | -j | \
                --threads | --html | --plot | --max-megapixels | --search | --scales | --fine | \
                --fine-radius)
                ((i++))
                ;;
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done

    case $command in
        "")
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            ;;
        build | build-sweep | make-demo)
            _filedir -d
            ;;
        search | multi)
            _filedir '@(ft1|png|jpg|jpeg|bmp|gif|pgm|ppm|pbm|xpm|svg|ico)'
            # The names build gave, which stand for precomputed_databases/NAME.ft1.
            local built
            built=$(compgen -G 'precomputed_databases/*.ft1' | sed 's|.*/||; s|\.ft1$||')
            COMPREPLY+=($(compgen -W "$built" -- "$cur"))
            ;;
        info | index)
            _filedir '@(ft1|png|jpg|jpeg|bmp|gif|pgm|ppm|pbm|xpm|svg|ico)'
            ;;
    esac
}
complete -F _pictrace_cli pictrace-cli
