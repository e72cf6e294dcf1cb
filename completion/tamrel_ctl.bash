# bash completion for tamrel_ctl                           -*- shell-script -*-
#
# tamrel_ctl takes one argument, the whole command. At that argument each
# of the thirteen command forms is offered as one quoted word: a complete
# form such as "status" is closed, a form that takes a value such as
# "ipd " is left open, so that the value is typed inside the quotes and
# the quote closed after it. Nothing is offered after the first argument.
#
# Installed as share/bash-completion/completions/tamrel_ctl; it needs no
# helper from the bash-completion package and can also be sourced alone.

_tamrel_ctl()
{
    COMPREPLY=()
    ((COMP_CWORD == 1)) || return 0

    # The forms the tool accepts, matched byte for byte. `open` are the
    # forms followed by a value; `value` says what each takes.
    local -a closed=('proximity on' 'proximity off' 'proximity auto' 'status'
        'ipd?' 'backglow off' 'backglow on' 'backglow status')
    local -a open=('ipd ' 'load_lh_config ' 'backglow fill' 'backglow set '
        'backglow bri ')
    local -a value=('<mm>' '<path>' ' <hex>' '<idx> <hex>' '<0..255>')

    # Readline hands over the word without a quote the user opened; the
    # word as typed keeps it.
    local text=$2 quoted='' form i last=''
    case ${COMP_WORDS[COMP_CWORD]} in
    \"* | \'*) quoted=1 ;;
    esac

    for form in "${closed[@]}"; do
        [[ $form == "$text"* ]] || continue
        if [[ $quoted ]]; then
            COMPREPLY+=("$form")
        else
            COMPREPLY+=("\"$form\"")
        fi
    done
    local closed_matches=${#COMPREPLY[@]}
    for i in "${!open[@]}"; do
        form=${open[i]}
        [[ $form == "$text"* ]] || continue
        last=$i
        if [[ $quoted ]]; then
            COMPREPLY+=("$form")
        else
            COMPREPLY+=("\"$form")
        fi
    done

    # A single open form: no space after it, and no closing quote. Readline
    # closes a quote the user opened after a single match, whatever the
    # options; a second candidate, the form with what it takes, makes the
    # form the common part that is inserted (and is what a second Tab lists).
    if ((${#COMPREPLY[@]} == 1 && closed_matches == 0)); then
        if [[ $quoted ]]; then
            COMPREPLY+=("${open[last]}${value[last]}")
        else
            compopt -o nospace
        fi
    fi
    return 0
}
complete -F _tamrel_ctl tamrel_ctl
