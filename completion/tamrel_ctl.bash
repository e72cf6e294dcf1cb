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
#     absolute path: the driver reads a relative one from the folder it was
#     started in (for the real driver, SteamVR's working folder), not from
#     the user's.
# Only forms and paths are offered, never a placeholder for a value.
#
# A path is someone else's choice of name, so each is written for the quote
# it goes in, and the line runs as it stands, passing the exact path and
# running nothing: inside '...' a ' becomes '\'', inside "..." a \, $, `
# and " get a backslash, and a ! is written "'!'" (closed out of the double
# quotes into single ones), so that the history expansion of an interactive
# bash never sees it while the tool still gets the ! itself: inside double
# quotes a backslash would stop the expansion but stay in the path.
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

    # Readline's text begins after the last quote opened in the word: of
    # 'load_lh_config /x/it'\''s it hands over s. The value is read from the
    # whole word, never run, and each candidate, quoted, is offered as what
    # follows the part of the word that readline keeps.
    local word=${COMP_WORDS[COMP_CWORD]} value quote=${COMP_WORDS[COMP_CWORD]:0:1} kept candidate
    [[ $word == *"$text" ]] || return 0
    kept=${word:1:${#word}-1-${#text}}
    _tamrel_ctl_unquote "$word"
    if [[ $value == "$lh"* ]]; then
        _tamrel_ctl_paths "${value#"$lh"}"
    else
        for form in "${closed[@]}" "${open[@]}"; do
            [[ $form == "$value"* ]] && COMPREPLY+=("$form")
        done
        # load_lh_config alone: on to the paths, if there are any.
        if [[ ${COMPREPLY[*]} == "$lh" ]]; then
            _tamrel_ctl_paths ''
            ((${#COMPREPLY[@]})) || COMPREPLY=("$lh")
        fi
    fi
    local -a quoted=()
    for candidate in "${COMPREPLY[@]}"; do
        if [[ $quote == \' ]]; then
            candidate=${candidate//\'/\'\\\'\'}
        else
            candidate=${candidate//\\/\\\\}
            candidate=${candidate//\$/\\\$}
            candidate=${candidate//\`/\\\`}
            candidate=${candidate//\"/\\\"}
            candidate=${candidate//!/\"\'!\'\"}
        fi
        [[ $candidate == "$kept"* ]] && quoted+=("${candidate#"$kept"}")
    done
    COMPREPLY=("${quoted[@]}")

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
# path goes on rather than ending at the folder; not a symbolic link to its
# own folder or one above it, which would be entered again and again.
_tamrel_ctl_paths()
{
    local partial=$1 entry options target here
    local -a found inside
    case $partial in
    /*) ;;
    \~ | \~/*) partial=$HOME${partial#\~} ;;
    *) partial=${PWD%/}/$partial ;;
    esac
    # A glob, with the user's options put back: compgen -f would take a
    # quote in a name for one opened on the line. It globs under set -f too.
    local -
    set +f
    options=$(shopt -p dotglob failglob nullglob) || true
    shopt -s dotglob nullglob
    shopt -u failglob
    found=("$partial"*)
    while ((${#found[@]} == 1)) && [[ -d ${found[0]} ]]; do
        if [[ -L ${found[0]} ]]; then
            target=$(cd -P -- "${found[0]}" 2>/dev/null && pwd)
            here=$(cd -P -- "${found[0]%/*}/" 2>/dev/null && pwd)
            [[ ${here%/}/ == "${target%/}"/* ]] && break
        fi
        inside=("${found[0]%/}/"*)
        ((${#inside[@]})) || break
        found=("${inside[@]}")
    done
    eval "$options"
    COMPREPLY=()
    for entry in "${found[@]}"; do
        [[ -d $entry ]] && entry+=/
        COMPREPLY+=("load_lh_config $entry")
    done
}

# _tamrel_ctl_unquote WORD: value becomes what the shell makes of WORD, a
# word that opens with a quote, closed or not: quotes removed, a backslash
# taking the next character (inside "..." only $, `, " and \).
_tamrel_ctl_unquote()
{
    local word=$1 in='' c i
    value=''
    for ((i = 0; i < ${#word}; i++)); do
        c=${word:i:1}
        if [[ $in == \' ]]; then
            [[ $c == \' ]] && in='' || value+=$c
        elif [[ $c == \\ ]]; then
            i=$((i + 1)) c=${word:i:1}
            [[ $in && $c != [\$\`\"\\] ]] && value+=\\
            value+=$c
        elif [[ $c == [\"\'] && ($c == "$in" || -z $in) ]]; then
            [[ $in ]] && in='' || in=$c
        else
            value+=$c
        fi
    done
}
complete -F _tamrel_ctl tamrel_ctl
