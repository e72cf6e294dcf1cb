#!/usr/bin/env bash
# Whether PROGRAM allocates from main on. A static program that links no
# allocator at all (nm finds no malloc, calloc or realloc in it) cannot.
# Otherwise gdb stops it at main, then at any call of malloc, calloc or
# realloc: valgrind cannot see into a static executable (it counts 0 there
# whatever happens); gdb can. What the C library's own start-up does before main is not counted.
#   scripts/lib/allocations_after_main.sh PROGRAM ARGS...
# Prints how it knows, and exits 0 when the program does not allocate, 1
# (printing where it allocated) when it does.
set -euo pipefail
if ! readelf -l "$1" | grep -q INTERP && symbols=$(nm "$1" 2>/dev/null) && ! grep -qE ' [TtWi] (malloc|calloc|realloc)$' <<<"$symbols"; then
  echo "$1 links no allocator (nm)"
  exit 0
fi
command -v gdb >/dev/null || { echo "gdb is not installed (scripts/install_deps.sh linux)" >&2; exit 2; }
out=$(gdb -batch -ex 'break main' -ex run -ex 'break malloc' -ex 'break calloc' -ex 'break realloc' -ex continue \
  --args "$@" 2>&1 </dev/null || true)
grep -q '^Breakpoint 1, .*main' <<<"$out" || { echo "gdb could not stop $1 at main (no symbols?)"; exit 1; }
if ended=$(grep -m1 '^\[Inferior 1 (process [0-9]*) exited' <<<"$out"); then
  echo "$ended"
  exit 0
fi
echo "$1 allocated after main: $(grep -A3 '^Breakpoint [0-9],' <<<"$out" | tail -n 4)"
exit 1
