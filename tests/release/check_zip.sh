#!/usr/bin/env bash
# The Windows download as a Windows user meets it: `bin\tamrel_ctl.exe
# status` works right where it is unzipped (no folder above bin), a README.txt
# and the man pages as text with Windows' line ends (the pages sending cmd and
# PowerShell users to README.txt), the PowerShell completion, and SHA256SUMS
# beside the zip that holds its hash; README.txt at most 400 lines of 76
# columns.
#   tests/release/check_zip.sh ZIP
set -euo pipefail
zip=$1
dir=$(dirname "$zip")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "check_zip: $*" >&2
  exit 1
}

listing=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')
want="README.txt bin/tamrel_ctl.exe bin/tamrel_driver_sim.exe tamrel_ctl.1.txt tamrel_ctl.ps1 tamrel_driver_sim.1.txt "
[ "$listing" = "$want" ] || fail "the zip holds '$listing', not '$want'"
(cd "$work" && cmake -E tar xf "$zip")
for text in README.txt tamrel_ctl.1.txt tamrel_driver_sim.1.txt; do
  lines=$(wc -l <"$work/$text")
  crlf=$(grep -c $'\r$' "$work/$text" || true)
  [ "$lines" -gt 10 ] && [ "$crlf" -eq "$lines" ] || fail "$text: $crlf of $lines lines end in CRLF"
  [ "$text" = README.txt ] || head -n 1 "$work/$text" | grep -q 'POSIX.*README\.txt' || fail "$text: no pointer to README.txt"
done
# Read in ten minutes, in a console of 80 columns.
long=$(awk 'length > 77' "$work/README.txt" | head -n 1) # 76 and the CR
[ "$(wc -l <"$work/README.txt")" -le 400 ] && [ -z "$long" ] || fail "README.txt: over 400 lines, or a line over 76 columns: $long"
(cd "$dir" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not hold the zip's hash"
echo "$(basename "$zip"): $listing; text files in CRLF; $(cat "$dir/SHA256SUMS")"
