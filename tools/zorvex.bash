# bash completion for zorvex: commands, options, and paths inside archives
# (found by listing the archive).

# The paths inside ARCHIVE, one a line, folders ending in "/".
_zorvex_entries() {
    # Rows start after the header and rule; names start at column 38; the
    # last two lines are the rule and the totals.
    zorvex list -r "$1" 2>/dev/null | sed -e '1,2d' | head -n -2 | cut -c38- |
        sed -e 's/ -> .*$//' -e 's/ link to .*$//'
}

_zorvex() {
    local cur prev command i
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            list|cat|extract|test|help|mount|unmount) command=${COMP_WORDS[i]}; break ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $prev == --charset ]]; then return; fi
        COMPREPLY=($(compgen -W "list cat extract test help mount unmount -j --threads -p --password --password-file --versions --charset --version --help" -- "$cur"))
        return
    fi
    case $prev in
        -C|--directory) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --strip-components) return ;;
        -o) [[ $command == mount ]] && COMPREPLY=($(compgen -W "readers= password= allow_other" -- "$cur")) &&
                compopt -o nospace 2>/dev/null
            return ;;
    esac

    local options
    case $command in
        list) options="-r --recursive -l --long --json --exclude --ignore-case --help" ;;
        cat) options="--progress -q --quiet --help" ;;
        extract) options="-C --directory --overwrite --preserve-permissions --exclude --ignore-case
                          --strip-components -O --to-stdout --progress -q --quiet --help" ;;
        test) options="--progress -q --quiet --help" ;;
        mount) options="-f --foreground -o --help" ;;
        unmount) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        help) COMPREPLY=($(compgen -W "list cat extract test mount unmount" -- "$cur")); return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # The first argument after the command that is an archive file: patterns
    # after it complete to its entries.
    local archive=
    for ((i = i + 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i-1]} in -C|--directory|--exclude|--strip-components) continue ;; esac
        if [[ ${COMP_WORDS[i]} != -* && -f ${COMP_WORDS[i]} ]]; then archive=${COMP_WORDS[i]}; break; fi
    done
    if [[ -n $archive && ($command == extract || $command == list || $prev == --exclude) ]]; then
        local IFS=$'\n'
        COMPREPLY=($(compgen -W "$(_zorvex_entries "$archive")" -- "$cur"))
        compopt -o nospace 2>/dev/null
        return
    fi

    # A path that goes into an archive: a.zip/do<TAB>.
    local prefix=${cur%/*}
    while [[ $prefix == */* && ! -f $prefix ]]; do prefix=${prefix%/*}; done
    if [[ $cur == */* && -f $prefix ]]; then
        local IFS=$'\n' entries
        entries=$(_zorvex_entries "$prefix" | sed -e "s|^|$prefix/|")
        COMPREPLY=($(compgen -W "$entries" -- "$cur"))
        compopt -o nospace 2>/dev/null
        return
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -o filenames -F _zorvex zorvex
