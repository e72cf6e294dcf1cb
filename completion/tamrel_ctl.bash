# bash completion for tamrel_ctl                           -*- shell-script -*-
#
# tamrel_ctl takes one argument, the whole command, and completion works on
# that argument only:
#   - on an empty word, the second Tab lists the thirteen command forms;
#   - a word begun without a quote is completed to the form in quotes of its
#     own: a complete form such as "status" is closed, a form that takes a
#     value such as "ipd  is left open, cursor inside the quotes;
#   - inside a quote the user opened, the forms complete as far as readline
#     allows (below), and after "load_lh_config  the path completes, as an
#     absolute path: the driver reads a relative one from its own folder,
#     not from the user's.
# Only forms and paths are offered, never a placeholder for a value.
#
# Installed as share/bash-completion/completions/tamrel_ctl; it needs no
# helper from the bash-completion package and can also be sourced alone.

_tamrel_ctl()
{
    COMPREPLY=()
    ((COMP_CWORD == 1)) || return 0

    # The forms the tool accepts, matched byte for byte. `open` are the
    # forms followed by a value.
    local -a closed=('proximity on' 'proximity off' 'proximity auto' 'status'
        'ipd?' 'backglow off' 'backglow on' 'backglow status')
    local -a open=('ipd ' 'load_lh_config ' 'backglow fill' 'backglow set '
        'backglow bri ')
    local lh='load_lh_config ' form unfinished=''

    # Readline hands over the word without a quote the user opened; the
    # word as typed keeps it.
    local text=$2
    case ${COMP_WORDS[COMP_CWORD]} in
    \"* | \'*) ;;
    *)
        if [[ -z $text && ${COMP_TYPE-} != 37 ]]; then
            # Nothing typed: the forms as they are listed. They share no
            # first character, so the first Tab inserts nothing and the
            # second lists them; quoted, the quote common to them all would
            # be inserted instead and the list wait for a third Tab. Menu
            # completion (type 37) inserts each in turn: it gets them quoted.
            COMPREPLY=("${closed[@]}" "${open[@]}")
            return 0
        fi
        for form in "${closed[@]}"; do
            [[ $form == "$text"* ]] && COMPREPLY+=("\"$form\"")
        done
        for form in "${open[@]}"; do
            [[ $form == "$text"* ]] && COMPREPLY+=("\"$form") && unfinished=1
        done
        # A lone open form: no space after it. The quote is ours, so
        # readline does not close it.
        if ((${#COMPREPLY[@]} == 1)) && [[ $unfinished ]]; then
            compopt -o nospace
        fi
        return 0
        ;;
    esac

    if [[ $text == "$lh"* ]]; then
        _tamrel_ctl_paths "${text#"$lh"}"
    else
        for form in "${closed[@]}" "${open[@]}"; do
            [[ $form == "$text"* ]] && COMPREPLY+=("$form")
        done
        # load_lh_config alone: on to the paths, if there are any.
        if [[ ${COMPREPLY[*]} == "$lh" ]]; then
            _tamrel_ctl_paths ''
            ((${#COMPREPLY[@]})) || COMPREPLY=("$lh")
        fi
    fi

    # Readline closes a quote the user opened after a lone candidate, and
    # no option keeps it open. One that is not a whole command (an open
    # form, an empty folder) is therefore not offered: "backglow b stays
    # as it is, to be typed on ("ipd completes to where ipd? parts).
    if ((${#COMPREPLY[@]} == 1)); then
        local lone=${COMPREPLY[0]}
        [[ $lone == */ ]] && COMPREPLY=()
        for form in "${open[@]}"; do
            [[ $lone == "$form" ]] && COMPREPLY=()
        done
    fi
    return 0
}

# _tamrel_ctl_paths PARTIAL: COMPREPLY becomes `load_lh_config PATH` for each
# file and folder (with a slash) whose path begins with PARTIAL, made
# absolute: a relative PARTIAL is taken from the current folder, and a
# leading ~ is written out (inside quotes the shell leaves it alone, and the
# driver would look for a folder named ~), so that the first Tab replaces
# the word with its absolute form. A lone folder is entered, so that the
# path goes on rather than ending at the folder.
_tamrel_ctl_paths()
{
    local partial=$1 entry
    local -a found inside
    case $partial in
    /*) ;;
    \~ | \~/*) partial=$HOME${partial#\~} ;;
    *) partial=${PWD%/}/$partial ;;
    esac
    mapfile -t found < <(compgen -f -- "$partial")
    while ((${#found[@]} == 1)) && [[ -d ${found[0]} ]]; do
        mapfile -t inside < <(compgen -f -- "${found[0]%/}/")
        ((${#inside[@]})) || break
        found=("${inside[@]}")
    done
    COMPREPLY=()
    for entry in "${found[@]}"; do
        [[ -d $entry ]] && entry+=/
        COMPREPLY+=("load_lh_config $entry")
    done
}
complete -F _tamrel_ctl tamrel_ctl
