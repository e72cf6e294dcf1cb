#!/usr/bin/env bash
# Checks the shell completion of tamrel_ctl and the forms that people are shown:
#   tests/release/completion_test.sh BASH_FILE ZSH_FILE TOOL MAN_PAGE PS1_FILE
# The forms that bash and zsh offer at an empty first word, and that the man
# page lists, must be exactly those of the tool's own usage output. The bash
# file is sourced in a fresh bash and its registered function is called as
# bash calls it, with COMPREPLY compared (in readline's order), and paths
# completed after load_lh_config; the zsh file must pass zsh -n. Then names
# that would run code if badly quoted, completed for real by bash and zsh in
# tmux, and by PowerShell (completion_test.ps1); pwsh typed into tmux too,
# with Tab bound to PSReadLine's Complete. Exits 77 (skipped) when zsh, tmux
# or pwsh is not installed; without pwsh, 1 under TAMREL_REQUIRE_PWSH=1.
set -euo pipefail

if [[ ${1-} != --inside-fresh-bash ]]; then
    if [[ $# -ne 5 ]]; then
        echo "usage: $0 BASH_FILE ZSH_FILE TOOL MAN_PAGE PS1_FILE" >&2
        exit 2
    fi
    # A form as its name: no placeholder, no trailing space.
    names() { sed 's/ *$//' | sort -u; }
    usage=$("$3" 2>&1 | sed -n 's/^  "\([^"<]*\).*/\1/p' | names) || true
    man=$(sed -n 's/^\.It Cm //p' "$4" | sed 's/ Ar .*//; s/\\&//g' | names)
    [[ $(wc -l <<<"$usage") -eq 13 && $man == "$usage" ]] ||
        { printf 'FAIL: the man page lists other forms than the usage:\n%s\n--\n%s\n' "$man" "$usage" >&2; exit 1; }
    env -u BASH_ENV bash --norc --noprofile "$0" --inside-fresh-bash "$1" "$usage"
    if ! command -v zsh >/dev/null || ! command -v tmux >/dev/null; then
        echo "SKIPPED: zsh or tmux is not installed; $2 and the PowerShell completion not checked"
        exit 77
    fi
    [[ $(head -n 1 "$2") == '#compdef tamrel_ctl' ]] && zsh -n "$2" ||
        { echo "FAIL: $2 is not a valid zsh completion for tamrel_ctl" >&2; exit 1; }
    # What its compadd calls offer at the first argument.
    zsh_forms=$(zsh -f -c 'compadd() { while [[ $1 != -- ]]; do shift; done; shift; print -l -- "$@"; }
        compset() { return 1; }; typeset -A compstate; CURRENT=2; source "$1"' zsh "$2" | names)
    [[ $zsh_forms == "$usage" ]] || { printf 'FAIL: zsh offers other forms:\n%s\n' "$zsh_forms" >&2; exit 1; }
    echo "zsh: $2 passes zsh -n and offers the 13 forms of the usage, as the man page lists them"

    # Each name in a folder of its own, typed inside " and inside ' into an
    # interactive bash and zsh (history expansion on), Tab completing it and
    # Enter running a tamrel_ctl that records its argument; the ' round under
    # set -f. Then into a folder whose name the quote keeps as it is, or zsh
    # escapes: Tab, a letter, Tab.
    work=$(mktemp -d) && trap 'tmux -S "$work/tmux" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
    names=('bq`touch PWNED`.json' '$(touch PWNED).json' '$HOME“”.json' 'a"b.json' "it's‘’.json" 'a!b.json' 'a b;c.json')
    for i in "${!names[@]}"; do files+=("$work/n/[$i]/${names[i]}") && mkdir -p "$work/n/[$i]" && touch "${files[i]}"; done
    into=("'back\\slash" "'say\"hi\"" "\"Rock 'n' Roll")
    for dir in "${into[@]}"; do mkdir -p "$work/d/${dir:1}" && touch "$work/d/${dir:1}/"{a,b}.json && entered+=("$work/d/${dir:1}/a.json"); done
    # The tool, on each shell's PATH, records its argument. One tmux server,
    # started with pwsh_found's environment; a pwsh that a failure kills
    # leaves its pipe in TMPDIR.
    mkdir "$work/bin" && printf '#!/bin/sh\nprintf "%%s\\n" "$1" >>%q\n' "$work/got" >"$work/bin/tamrel_ctl" && chmod +x "$work/bin/tamrel_ctl"
    export PATH=$work/bin:$PATH TMPDIR=$work
    # shellcheck source=scripts/lib/pwsh.sh
    source "$(dirname "$0")/../../scripts/lib/pwsh.sh"
    pwsh_found || skipped=$?
    cat >"$work/.zshrc" <<EOF # bash's too
HISTFILE= PS1='$ '
if [ -n "\${ZSH_VERSION-}" ]; then fpath=("${2%/*}" \$fpath) && autoload -U compinit && compinit -D -u; else source "$1"; fi
EOF
    keys() { tmux -S "$work/tmux" send-keys -l "$1" \; send-keys "${@:2}"; }
    start() { # COMMAND...: in tmux, until its prompt ($) shows
        : >"$work/got" && tmux -S "$work/tmux" -f /dev/null new-session -d -x 300 -c "$work/n" "$@" \; set -g exit-empty off
        for _ in {1..300}; do [[ $(tmux -S "$work/tmux" capture-pane -p) == '$'* ]] && break; sleep 0.1; done
    }
    ended() { # NAME ARGUMENTS: exits the shell, then checks the arguments the tool got
        keys exit Enter
        for _ in {1..600}; do tmux -S "$work/tmux" has-session 2>/dev/null || break; sleep 0.1; done
        [[ $(<"$work/got") == "$2" && ! -e $work/n/PWNED ]] ||
            { printf 'FAIL: %s passed other arguments:\n%s\n' "$1" "$(<"$work/got")" >&2; exit 1; }
    }
    for shell in "bash --rcfile $work/.zshrc -i" "zsh -d -i"; do
        ZDOTDIR=$work start "$shell"
        for quote in \" \'; do
            for file in "${files[@]}"; do keys "tamrel_ctl ${quote}load_lh_config ${file%/*}/" Tab Enter; done
            keys 'set -o noglob' Enter
        done
        for dir in "${into[@]}"; do keys "tamrel_ctl ${dir::1}load_lh_config $work/d/${dir:1:1}" Tab a Tab Enter; done
        ended "${shell%% *}" "$(printf 'load_lh_config %s\n' "${files[@]}" "${files[@]}" "${entered[@]}")"
    done
    [[ -z ${skipped-} ]] || exit "$skipped"
    # pwsh with Tab bound to PSReadLine's Complete (Linux's default), which
    # inserts what the choices share: still the argument, quote and command.
    # shellcheck disable=SC2154 # pwsh_found sets pwsh
    start "$pwsh" -NoProfile -NoLogo -NoExit -Command "Set-PSReadLineOption -HistorySaveStyle SaveNothing
        Set-PSReadLineKeyHandler Tab Complete; function prompt { '$ ' }; . '$5'"
    keys "tamrel_ctl 'ipd" Tab && keys " 63.5'" Enter
    keys "tamrel_ctl 'load_lh_config $work/" Tab && keys g Tab Enter
    ended pwsh "$(printf '%s\n' 'ipd 63.5' "load_lh_config $work/got")"
    "$pwsh" -NoProfile -NonInteractive -WorkingDirectory "$work/n" -File "$(dirname "$0")/completion_test.ps1" "$5" "$3" "$usage"
    echo "bash, zsh and PowerShell complete ${#names[@]} hostile names inside \" and ' to the paths themselves, and run nothing"
    exit 0
fi

# shellcheck source=/dev/null
source "$2"
read -ra registration <<<"$(complete -p tamrel_ctl)"
function=''
for i in "${!registration[@]}"; do
    [[ ${registration[i]} == -F ]] && function=${registration[i + 1]}
done
[[ $function ]] || { echo "FAIL: $2 registers no function for tamrel_ctl" >&2; exit 1; }

# Outside a completion, compopt would fail: record what is asked instead.
asked=''
compopt() { asked+="$*"; }

passed=0 failed=0
# check NOSPACE WORD... -- REPLY...: the words after "tamrel_ctl" as bash
# splits them (the last one being completed, cursor at the end of the line),
# whether "compopt -o nospace" is expected, and the exact COMPREPLY.
check() {
    local nospace=$1 words=() reply=()
    shift
    while [[ $1 != -- ]]; do words+=("$1"); shift; done
    shift
    reply=("$@")
    COMP_WORDS=(tamrel_ctl "${words[@]}")
    COMP_CWORD=${#words[@]}
    COMP_LINE="tamrel_ctl ${words[*]}"
    COMP_POINT=${#COMP_LINE}
    local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
    current=${current##*[\"\']} # readline hands over what follows the last quote opened
    COMPREPLY=(stale) asked=''
    "$function" tamrel_ctl "$current" "$previous" || true
    local got expected
    got=${#COMPREPLY[@]}$(printf '[%s]\n' "${COMPREPLY[@]}" | sort | tr -d '\n')${asked:+ $asked}
    expected=${#reply[@]}$(printf '[%s]\n' "${reply[@]}" | sort | tr -d '\n')
    [[ $nospace == nospace ]] && expected+=' -o nospace'
    if [[ $got == "$expected" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: %s<Tab>\n  expected %s\n  got      %s\n' "$COMP_LINE" "$expected" "$got" >&2
    fi
}

# The forms of the usage, and nothing else, listed as they are: no prefix
# common to all that the first Tab would insert instead of the second
# listing them.
COMP_WORDS=(tamrel_ctl '') COMP_CWORD=1 COMP_LINE='tamrel_ctl ' COMP_POINT=11
"$function" tamrel_ctl '' tamrel_ctl
if [[ $(printf '%s\n' "${COMPREPLY[@]}" | sed 's/ *$//' | sort -u) != "$3" || ${#COMPREPLY[@]} -ne 13 ]]; then
    failed=$((failed + 1))
    printf 'FAIL: the forms offered are not the usage'"'"'s:\n  %s\n' "${COMPREPLY[*]}" >&2
fi

COMP_TYPE=37 check - '' -- '"proximity on"' '"proximity off"' '"proximity auto"' '"status"' '"ipd?"' \
    '"backglow off"' '"backglow on"' '"backglow status"' \
    '"ipd ' '"load_lh_config ' '"backglow fill' '"backglow set ' '"backglow bri '
check - backg -- '"backglow off"' '"backglow on"' '"backglow status"' \
    '"backglow fill' '"backglow set ' '"backglow bri '
check - '"backg' -- 'backglow off' 'backglow on' 'backglow status' \
    'backglow fill' 'backglow set ' 'backglow bri '
check - ipd -- '"ipd?"' '"ipd '
check - "'st" -- status
check - sta -- '"status"'
check nospace lo -- '"load_lh_config '
check - '"backglow b' -- # bash would close the quote after a lone open form
check - "'backglow f" --
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT && mkdir -p "$work/a b/c" "$work/empty" && touch "$work/a b/c/x" "$work/a1"
check - "\"load_lh_config $work/a" -- "load_lh_config $work/a b/" "load_lh_config $work/a1"
HOME=$work check - "'load_lh_config ~/a " -- "load_lh_config $work/a b/c/x" # a lone folder entered
# Relative or ~ words complete to absolute paths: the driver does not share
# the user's folder.
PWD=$work check - '"load_lh_config a' -- "load_lh_config $work/a b/" "load_lh_config $work/a1"
HOME=$work check - '"load_lh_config ~' -- "load_lh_config $work/a b/" "load_lh_config $work/a1" \
    "load_lh_config $work/empty/"
check - "\"load_lh_config $work/e" --
# A lone folder through a symbolic link is entered, unless it leads back up.
mkdir "$work/s" && ln -s . "$work/s/l" && check - "\"load_lh_config $work/s/" --
mkdir "$work/t" && ln -s "$work/a b" "$work/t/l" && check - "\"load_lh_config $work/t/" -- "load_lh_config $work/t/l/c/x"
# Names escaped for the quote they go in, a ! written out of the double
# quotes; readline's text of a word with quotes inside starts after the last.
mkdir "$work/q" && touch "$work/q/it's a" "$work/q/a!2" "$work/q/b\`\$\"\\"
check - "\"load_lh_config $work/q/b" -- "load_lh_config $work/q/b\\\`\\\$\\\"\\\\"
check - "\"load_lh_config $work/q/a" -- "load_lh_config $work/q/a\"'!'\"2"
check - "'load_lh_config $work/q/i" -- "load_lh_config $work/q/it'\\''s a"
check - "'load_lh_config $work/q/it'\\''s" -- 's a'
check - Status --
check - '"ipd 63"' '' --
check - status x --

echo "bash completion: $passed passed, $failed failed"
((failed == 0))
