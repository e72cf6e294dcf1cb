#!/usr/bin/env bash
# Installs the Debian packages that a group of jobs needs, when they are missing.
#   scripts/install_deps.sh [GROUP...]      (default: linux)
#     linux     build and test on Linux
#     tools     sanitizers, fuzzing, fault injection, benchmarks, script checks
#     docs      the man pages and shell completion checks
#     windows   cross-build for Windows, test under Wine, the zip with its manuals
# Exits non-zero for an unknown group, or when a package cannot be installed.
set -euo pipefail

packages_for() {
  case "$1" in
    linux) echo "cmake make g++ musl-tools musl-dev libgtest-dev libgmock-dev valgrind gdb file" ;;
    tools) echo "clang libclang-rt-14-dev strace socat hyperfine valgrind util-linux procps time coreutils shellcheck" ;;
    docs) echo "mandoc zsh" ;;
    windows) echo "g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 zip mandoc" ;;
    *) return 1 ;;
  esac
}

missing=()
for group in "${@:-linux}"; do
  packages=$(packages_for "$group") || {
    echo "install_deps: unknown group '$group' (linux, tools, docs, windows)" >&2
    exit 2
  }
  for package in $packages; do
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
