#!/usr/bin/env bash
# Installs the Debian packages a group of jobs needs, when they are missing.
#   scripts/install_deps.sh linux      build and test on Linux
#   scripts/install_deps.sh windows    cross-build for Windows and test under Wine
#   scripts/install_deps.sh tools      sanitizers, fuzzers, fault injection, benchmarks
# Exits non-zero when a package cannot be installed.
set -euo pipefail

packages_for() {
  case "$1" in
    linux) echo "cmake make g++ libgtest-dev libgmock-dev valgrind" ;;
    windows) echo "g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 zip" ;;
    tools) echo "clang libclang-rt-14-dev strace socat hyperfine valgrind util-linux procps time coreutils" ;;
    *) echo "install_deps: unknown group '$1' (linux, windows, tools)" >&2; exit 2 ;;
  esac
}

missing=()
for group in "${@:-linux}"; do
  for package in $(packages_for "$group"); do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install_deps: installing ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
  echo "install_deps: not root; install these by hand: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null
apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
