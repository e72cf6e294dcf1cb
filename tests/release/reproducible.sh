#!/usr/bin/env bash
# Builds the sources a second time, copied to another folder and built in
# another folder with the same settings as BUILD_DIR, and compares the
# artefacts byte for byte with BUILD_DIR's.
#   tests/release/reproducible.sh SOURCE_DIR BUILD_DIR TARGET... -- ARTEFACT...
# TARGETs are built in the second tree; each ARTEFACT is a path relative to
# the build folder. Prints the SHA-256 of each artefact.
set -euo pipefail
source_dir=$1
build_dir=$2
shift 2
targets=()
while [ "$1" != -- ]; do
  targets+=("$1")
  shift
done
shift
artefacts=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/source"
tar -C "$source_dir" --exclude='./build*' --exclude=./.git --exclude='./.wine*' -cf - . | tar -C "$work/source" -xf -

# The same settings as the first tree.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
settings=(-DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" -DTAMREL_CTL_LINK="$(cached TAMREL_CTL_LINK)"
  -DTAMREL_BUILD_TESTS=OFF)
toolchain=$(cached CMAKE_TOOLCHAIN_FILE)
if [ -n "$toolchain" ]; then
  settings+=(-DCMAKE_TOOLCHAIN_FILE="$work/source/${toolchain#"$source_dir"/}")
fi
for compiler in CMAKE_C_COMPILER CMAKE_CXX_COMPILER; do
  [ -n "$toolchain" ] || settings+=(-D"$compiler=$(cached "$compiler")")
done
cmake -S "$work/source" -B "$work/build" "${settings[@]}" >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "$(nproc)" --target "${targets[@]}" >"$work/build.log" ||
  { cat "$work/build.log" >&2; exit 1; }

status=0
for artefact in "${artefacts[@]}"; do
  first=$build_dir/$artefact
  second=$work/build/$artefact
  if cmp -s "$first" "$second"; then
    echo "same: $(sha256sum "$first" | cut -d' ' -f1)  $artefact"
  else
    echo "DIFFERENT: $artefact" >&2
    sha256sum "$first" "$second" >&2 || true
    status=1
  fi
done
exit "$status"
