#!/usr/bin/env bash
# Runs one libFuzzer target for TAMREL_FUZZ_SECONDS (default 25), from seeds
# made of the usage text: every form as written, with its placeholders filled
# in, as the bare prefix, and the near misses around each.
#   tests/fuzz/run_fuzz.sh TARGET WORK_DIR USAGE_FILE
# The corpus grows in WORK_DIR/corpus; an input that fails is saved as
# WORK_DIR/crash-* (replay: TARGET FILE), and the run fails.
set -euo pipefail
target=$1
work=$2
usage_file=$3
seconds=${TAMREL_FUZZ_SECONDS:-25}
name=$(basename "$target")

seeds=$work/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$work/corpus"
mapfile -t forms < <(sed -n 's/^  "\(.*\)".*/\1/p' "$usage_file")
mapfile -t examples < <(sed -n 's/.*(e\.g\. \(.*\)).*/\1/p' "$usage_file")
if [ "${#forms[@]}" -ne 14 ]; then
  echo "run_fuzz: expected 14 command lines in $usage_file, found ${#forms[@]}" >&2
  exit 1
fi
fill() {
  local text=$1
  text=${text//<mm>/63}
  text=${text//<path>//tmp/lighthouse.json}
  text=${text//<h0> ... <h9>/FF0000 00FF00 0000FF FFFFFF 000000 FF8000 123456 ABCDEF 0F0F0F 808080}
  text=${text//<hex>/00FF00}
  text=${text//<idx>/3}
  text=${text//<0..255>/128}
  printf '%s' "$text"
}
candidates=("${examples[@]}" "ipd 48" "ipd 75" "ipd 47" "ipd 76" "ipd 63.5" "ipd -1" "backglow bri 0"
  "backglow bri 255" "backglow bri 999" "backglow set 9 000000" "backglow set 10 FFFFFF"
  "backglow fill FFFFFG" "backglow fill 1 2 3 4 5 6 7 8 9 10 11" ""
  # Sessions of several requests, one a line, for the engine.
  $'backglow bri 255\nbackglow status' $'ipd 48\nipd?\nipd 75.0\nipd 75.1\nstatus'
  $'load_lh_config /tmp/a b\nstatus\nload_lh_config \n' $'proximity on\nstatus\nproximity auto\nstatus'
  $'backglow fill FF8000\nbackglow set 9 00ff00\nbackglow off\nbackglow on\nbackglow status')
for form in "${forms[@]}"; do
  filled=$(fill "$form")
  prefix=${form%%<*}
  candidates+=("$form" "$filled" "$prefix" "${prefix% }" "$filled " " $filled" "${filled^^}"
    "$filled?" "${filled}x" "${prefix}x")
done
n=0
for text in "${candidates[@]}"; do
  printf '%s' "$text" >"$seeds/seed-$n"
  n=$((n + 1))
done
dict=$work/vocabulary.dict
for form in "${forms[@]}"; do
  prefix=${form%%<*}
  printf '"%s"\n' "$prefix"
  for word in $form; do printf '"%s"\n' "$word"; done
done | sort -u >"$dict"

max_len=2048
[ "$name" != fuzz_engine ] || max_len=9000  # past the engine's 4096-byte request limit
start=$SECONDS
if ! "$target" "$work/corpus" "$seeds" -dict="$dict" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$work/" \
    >"$work/fuzz.log" 2>&1; then
  tail -n 60 "$work/fuzz.log" >&2
  echo "run_fuzz: $name FAILED; the input is in $work/" >&2
  exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log")
echo "run_fuzz: $name passed: $runs inputs in $((SECONDS - start)) s, corpus $(find "$work/corpus" -type f | wc -l) files"
