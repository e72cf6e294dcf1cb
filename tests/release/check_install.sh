#!/usr/bin/env bash
# What `cmake --install BUILD_DIR` lays out on Linux, checked as a user
# would find it: every file in its place, the man pages clean under
# `mandoc -T lint` and carrying the programs' version, the tool a static-pie
# executable (unless the build links it dynamically), against musl where the
# build chose it, that allocates nothing once it runs, and the installed tool
# served by the installed stand-in driver.
#   tests/release/check_install.sh BUILD_DIR
set -euo pipefail
# shellcheck source=scripts/lib/wait_for_driver.sh
source "$(dirname "$0")/../../scripts/lib/wait_for_driver.sh"
build_dir=$1
work=$(mktemp -d)
driver_pid=
cleanup() {
  [ -z "$driver_pid" ] || kill "$driver_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "check_install: $*" >&2
  exit 1
}

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for file in bin/tamrel_ctl bin/tamrel_driver_sim share/man/man1/tamrel_ctl.1 share/man/man1/tamrel_driver_sim.1 \
    share/bash-completion/completions/tamrel_ctl share/zsh/site-functions/_tamrel_ctl share/powershell/completions/tamrel_ctl.ps1 \
    share/doc/tamrel_ctl/README.md share/doc/tamrel_ctl/tamrel_ctl.1.txt share/doc/tamrel_ctl/tamrel_driver_sim.1.txt; do
  [ -s "$prefix/$file" ] || fail "$file is not installed"
done
echo "installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"

# The version, from the ident strings, is on the pages.
for program in tamrel_ctl tamrel_driver_sim; do
  version=$(strings "$prefix/bin/$program" | sed -n "s/^@(#)$program //p")
  [ -n "$version" ] || fail "bin/$program carries no ident string '@(#)$program VERSION'"
  lint=$(mandoc -T lint -W warning "$prefix/share/man/man1/$program.1" 2>&1) || fail "mandoc: $lint"
  [ -z "$lint" ] || fail "mandoc -T lint -W warning: $lint"
  grep -q "$version" "$prefix/share/doc/tamrel_ctl/$program.1.txt" || fail "$program.1 does not show version $version"
  echo "$program $version: ident string, man page clean and versioned"
done

ctl=$prefix/bin/tamrel_ctl
link=$(sed -n 's/^TAMREL_CTL_LINK_CHOSEN:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
if [ "$link" != dynamic ]; then
  file "$ctl" | grep -q 'static-pie linked' || fail "bin/tamrel_ctl is not static-pie: $(file "$ctl")"
  echo "tamrel_ctl is a static-pie executable"
fi
if [ "$link" = musl ]; then
  ! grep -q glibc "$ctl" || fail "bin/tamrel_ctl was to be linked against musl, but holds glibc"
  echo "tamrel_ctl is linked against musl ($(stat -c %s "$ctl") bytes)"
fi

export XDG_RUNTIME_DIR=$work
"$prefix/bin/tamrel_driver_sim" --quiet &
driver_pid=$!
wait_for_driver "$ctl" "$driver_pid" || fail "the installed stand-in driver did not come up"
reply=$("$ctl" "ipd 64.5") || fail "the installed tool got no reply from the installed stand-in driver"
echo "installed tool and stand-in driver: $reply"

# The C library's own start-up may allocate before main; the tool never does.
ended=$("$(dirname "$0")/../../scripts/lib/allocations_after_main.sh" "$ctl" status) || fail "$ended"
[[ $ended == *"exited normally]" || $ended == *"links no allocator (nm)" ]] || fail "tamrel_ctl: $ended"
echo "tamrel_ctl allocates nothing from main on: $ended"
