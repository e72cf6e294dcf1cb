#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/ and runs each in turn.
#   scripts/fuzz.sh --ci         each target for a short, bounded time (CI)
#   scripts/fuzz.sh SECONDS      each target for SECONDS (default 300)
#   scripts/fuzz.sh SECONDS NAME only the target NAME
# Seeds come from the tool's own usage text. The growing corpus is kept in
# build-fuzz/corpus/<target>/, and an input that fails is saved as
# build-fuzz/artifacts/<target>-crash-* (replay: build-fuzz/tests/fuzz/<target> FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
only=""
case "${1:-}" in
  --ci) seconds=25 ;;
  "") ;;
  *[!0-9]*) echo "usage: $0 [--ci | SECONDS [TARGET]]" >&2; exit 2 ;;
  *) seconds=$1 ;;
esac
only=${2:-}

scripts/install_deps.sh linux tools
build=${BUILD_DIR:-build-fuzz}
coverage="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMREL_WERROR=ON -DTAMREL_FUZZ=ON \
  -DTAMREL_SANITIZE=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$coverage" -DCMAKE_CXX_FLAGS="$coverage" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null

targets=(fuzz_vocabulary)
[[ "$(cmake --build "$build" --target help)" == *" fuzz_engine"* ]] && targets+=(fuzz_engine)
[ -n "$only" ] && targets=("$only")
cmake --build "$build" -j 2 --target tamrel_ctl "${targets[@]}" >/dev/null

# Seeds: every form of the usage text as written, with its placeholders
# filled in, as the bare prefix, and the near misses around each.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$build/artifacts"
usage=$("$build/cli/tamrel_ctl" 2>&1 >/dev/null || true)
mapfile -t forms < <(printf '%s\n' "$usage" | sed -n 's/^  "\(.*\)".*/\1/p')
mapfile -t examples < <(printf '%s\n' "$usage" | sed -n 's/.*(e\.g\. \(.*\)).*/\1/p')
if [ "${#forms[@]}" -ne 14 ]; then
  echo "fuzz: expected 14 command lines in the usage text, found ${#forms[@]}" >&2
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
dict=$build/vocabulary.dict
: >"$dict"
n=0
for text in "${candidates[@]}"; do
  printf '%s' "$text" >"$seeds/seed-$n"
  n=$((n + 1))
done
for form in "${forms[@]}"; do
  prefix=${form%%<*}
  printf '"%s"\n' "$prefix" >>"$dict"
  for word in $form; do printf '"%s"\n' "$word" >>"$dict"; done
done
sort -u -o "$dict" "$dict"

status=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  echo "fuzz: $target for $seconds s"
  start=$SECONDS
  max_len=2048
  [ "$target" != fuzz_engine ] || max_len=9000  # past the engine's 4096-byte request limit
  if ! "$build/tests/fuzz/$target" "$corpus" "$seeds" -dict="$dict" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" >"$build/$target.log" 2>&1; then
    tail -n 60 "$build/$target.log" >&2
    echo "fuzz: $target FAILED; the input is in $build/artifacts/" >&2
    status=1
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log")
  echo "fuzz: $target passed: $runs inputs in $((SECONDS - start)) s, corpus $(ls "$corpus" | wc -l) files"
done
exit "$status"
