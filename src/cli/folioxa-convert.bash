# bash completion for folioxa-convert                                  -*- shell-script -*-

_folioxa_convert() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--type=p" reaches us as "--type" "=" "p" (or "--type" "=" while nothing follows).
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    case $prev in
    -t | --type)
        # Offered in the letter case the user started with.
        if [[ $cur == *[a-z]* ]]; then
            mapfile -t COMPREPLY < <(compgen -W 'jpg png tiff webp bmp' -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W 'JPG PNG TIFF WEBP BMP' -- "$cur")
        fi
        return
        ;;
    -o | --output-dir)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    -p | --pages | -r | --dpi | --scale-to | --scale-to-x | --scale-to-y | --quality | -b | --base | \
        -j | --jobs | --page-timeout | --memory-limit)
        return # free text: nothing to offer
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-p --pages -t --type -r --dpi --scale-to --scale-to-x
            --scale-to-y --quality -o --output-dir -b --base --password-stdin -j --jobs
            --page-timeout --memory-limit --dry-run --json -q --quiet -h --help --version' -- "$cur")
        return
    fi
    # The documents: PDF files (any letter case) and the folders that may hold them.
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -f -X '!*.[pP][dD][fF]' -- "$cur")
} &&
    complete -F _folioxa_convert folioxa-convert
