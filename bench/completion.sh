#!/usr/bin/env bash
# One Tab completing a path after tamrel_ctl's 'load_lh_config, against the
# shell's own file completion, in folders of 10,000 and 100,000 files: with
# a prefix that one name has, and for the whole folder.
#   bench/completion.sh [RUNS]    medians of RUNS interleaved runs (default 9)
# bash: the completion function against compgen -f. zsh, in the terminal
# that zpty gives it: a widget times complete-word on the two lines.
# PowerShell 7: TabExpansion2, which PSReadLine's Tab calls, against
# Get-Item's path completion, with tamrel_ctl on the PATH. Each after one
# run of each as a warm-up. Exits 1 when PowerShell takes more than 3 times
# its own in any case (bash and zsh are reported).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib/pwsh.sh
source "$root/scripts/lib/pwsh.sh"
pwsh_found || exit 1
runs=${1:-9}
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" && printf '#!/bin/sh\n' >"$work/bin/tamrel_ctl" && chmod +x "$work/bin/tamrel_ctl"
# Neither folder's name begins the other's: zsh would complete both.
cases='10k/zz 10k/ 100k/zz 100k/'
export PATH=$work/bin:$PATH TMPDIR=$work root runs work cases
for n in 10 100; do
  mkdir "$work/${n}k" && (cd "$work/${n}k" && seq -f 'f%06.0f.json' $((n * 1000 - 1)) | xargs touch zz.json)
done

# Each run a line: SHELL FOLDER/PREFIX own|ours MICROSECONDS.
bash --norc --noprofile -c 'source "$root/completion/tamrel_ctl.bash"
  ours() { COMP_WORDS=(tamrel_ctl "'\''load_lh_config $1") && COMP_CWORD=1 && _tamrel_ctl tamrel_ctl "load_lh_config $1"; }
  timed() { local s=$EPOCHREALTIME e; "${@:3}" >/dev/null; e=$EPOCHREALTIME; echo "bash $1 $2 $((${e//[!0-9]/} - ${s//[!0-9]/}))"; }
  for c in $cases; do for ((i = 0; i <= runs; i++)); do
    timed "$c" own compgen -f -- "$work/$c" && timed "$c" ours ours "$work/$c"
  done; done' >"$work/times"
cat >"$work/.zshrc" <<'EOF'
fpath=($root/completion $fpath) && autoload -U compinit && compinit -D -u
unsetopt autolist automenu && zmodload zsh/datetime
timed() { local s=$EPOCHREALTIME; BUFFER=$3 CURSOR=$#3; zle complete-word; print "zsh $1 $2 $(((EPOCHREALTIME - s) * 1e6))" >>$work/times; }
bench() {
  for c in ${=cases}; do repeat $((runs + 1)); do
    timed $c own "ls $work/$c"; timed $c ours "tamrel_ctl 'load_lh_config $work/$c"
  done; done
  : >$work/zsh.done; BUFFER=exit; zle accept-line
}
zle -N zle-line-init bench
EOF
ZDOTDIR=$work timeout 900 zsh -f -c 'zmodload zsh/zpty; zpty z zsh -d -i; until [[ -e $work/zsh.done ]]; do sleep 0.2; done'
# shellcheck disable=SC2154 # pwsh_found sets pwsh
"$pwsh" -NoProfile -NonInteractive -Command 'Set-StrictMode -Version Latest; . "$env:root/completion/tamrel_ctl.ps1"
  foreach ($c in $env:cases -split " ") { foreach ($i in 0..$env:runs) {
    foreach ($run in ("own", "Get-Item $env:work/$c"), ("ours", "tamrel_ctl '\''load_lh_config $env:work/$c")) {
      $watch = [Diagnostics.Stopwatch]::StartNew(); $null = TabExpansion2 $run[1] $run[1].Length
      "pwsh $c $($run[0]) $([long]($watch.Elapsed.TotalMilliseconds * 1000))" } } }' >>"$work/times"

# The warm-up dropped, the medians: own against ours.
awk '!seen[$1 " " $2 " " $3]++ { next } 1' "$work/times" | LC_ALL=C sort -k1,3 -k4n | awk -v cases="$cases" '
  function median(k) { return v[k, int((n[k] + 1) / 2)] }
  { k = $1 " " $2 " " $3; v[k, ++n[k]] = $4 }
  END {
    printf "%-5s %-6s %-13s %8s %15s %6s\n", "shell", "files", "completing", "own, ms", "tamrel_ctl, ms", "ratio"
    split("bash zsh pwsh", shells, " "); split(cases, c, " ")
    for (s = 1; s <= 3; s++) for (i = 1; i <= 4; i++) {
      own = median(shells[s] " " c[i] " own"); ours = median(shells[s] " " c[i] " ours"); split(c[i], f, "/")
      missed = shells[s] == "pwsh" && ours > 3 * own
      printf "%-5s %-6s %-13s %8.1f %15.1f %6.2f%s\n", shells[s], f[1], f[2] == "" ? "whole folder" : "prefix " f[2],
        own / 1000, ours / 1000, ours / own, missed ? "  MISSED: at most 3" : ""
      status = status || missed
    }
    exit status
  }'
