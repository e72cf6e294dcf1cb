#!/usr/bin/env bash
# Installs the Debian packages that a group of jobs needs, when they are missing.
#   scripts/install_deps.sh [GROUP...]      (default: linux)
#     linux     build and test on Linux
#     tools     sanitizers, fuzzing, fault injection, benchmarks, script checks
#     docs      the man pages and shell completion checks
#     windows   cross-build for Windows, test under Wine, the zip with its manuals
#     powershell  PowerShell 7.6 (pwsh in ~/.dotnet/tools), a .NET global tool
#               from NuGet: needs the .NET SDK, which nothing else does
# Exits non-zero for an unknown group, or when a package cannot be installed.
set -euo pipefail

packages_for() {
  case "$1" in
    linux) echo "cmake make g++ musl-tools musl-dev libgtest-dev libgmock-dev valgrind gdb file" ;;
    tools) echo "clang libclang-rt-14-dev strace socat hyperfine valgrind util-linux procps time coreutils shellcheck" ;;
    docs) echo "mandoc zsh tmux" ;;
    windows) echo "g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 zip mandoc" ;;
    *) return 1 ;;
  esac
}

# install_pwsh: PowerShell for the completion and README.txt cases, unless a
# 7.6 is there already (pwsh_7_6), on the PATH or where `dotnet tool install
# --global` puts it; a second install of an installed tool would fail.
install_pwsh() {
  local tool=$HOME/.dotnet/tools/pwsh pwsh
  # shellcheck source=scripts/lib/pwsh.sh
  source "$(dirname "$0")/lib/pwsh.sh"
  pwsh_7_6 && return 0
  if ! command -v dotnet >/dev/null; then
    echo "install_deps: PowerShell comes as a .NET tool: install the .NET SDK (dotnet), then run again" >&2
    return 1
  fi
  [[ ! -e $tool ]] || dotnet tool uninstall --global PowerShell >/dev/null
  echo "install_deps: installing PowerShell 7.6.10 into ~/.dotnet/tools" >&2
  dotnet tool install --global PowerShell --version 7.6.10 >/dev/null
}

missing=()
for group in "${@:-linux}"; do
  if [ "$group" = powershell ]; then
    install_pwsh
    continue
  fi
  packages=$(packages_for "$group") || {
    echo "install_deps: unknown group '$group' (linux, tools, docs, windows, powershell)" >&2
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
