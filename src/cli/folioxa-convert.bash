# bash completion for folioxa-convert                                  -*- shell-script -*-

_folioxa_convert() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev= kind= words=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--type=p" reaches us as "--type" "=" "p" (or "--type" "=" while nothing follows).
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    # What each option's argument is, from the program's table of options.
    case $prev in
@COMPLETION_CASES@
    esac
    case $kind in
    words)
        # Offered in the letter case the user started with.
        if [[ $cur == *[a-z]* ]]; then
            words=${words,,}
        elif [[ $cur == *[A-Z]* ]]; then
            words=${words^^}
        fi
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
        return
        ;;
    folder)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    text)
        return # free text: nothing to offer
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '@COMPLETION_OPTIONS@' -- "$cur")
        return
    fi
    # The documents: PDF files (any letter case) and the folders that may hold them.
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -f -X '!*.[pP][dD][fF]' -- "$cur")
} &&
    complete -F _folioxa_convert folioxa-convert
