#!/usr/bin/env bash
# What a bare Windows PC needs to run the programs, read from their files:
# console programs, importing only DLLs of Windows itself (the tool, by a
# stricter rule of its own: only the kernel and the C runtime), each carrying
# its manifest (asInvoker, Windows 10 and 11) as resource RT_MANIFEST 1 and
# its version information.
#   tests/release/check_exe.sh TAMREL_CTL_EXE TAMREL_DRIVER_SIM_EXE
set -euo pipefail
ctl=$1
driver_sim=$2
OBJDUMP=x86_64-w64-mingw32-objdump
WINDRES=x86_64-w64-mingw32-windres
CTL_DLLS='^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'
SYSTEM_DLLS='^(kernel32|kernelbase|ntdll|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|advapi32|user32|ws2_32|mswsock|shell32|ole32|bcrypt|crypt32|userenv|secur32|iphlpapi|setupapi|hid|winmm)\.dll$'

fail() {
  echo "check_exe: $*" >&2
  exit 1
}

check_imports() {  # EXE ALLOWED_RE RULE: RULE names the DLLs that ALLOWED_RE admits
  local exe=$1 allowed=$2 rule=$3 headers dll dlls=()
  headers=$("$OBJDUMP" -p "$exe") || fail "objdump cannot read $exe"
  grep -q 'Subsystem.*(Windows CUI)' <<<"$headers" || fail "$exe is not a console program"
  while read -r dll; do
    dlls+=("$dll")
    [[ "${dll,,}" =~ $allowed ]] || fail "$exe imports $dll, outside $rule"
  done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
  echo "$(basename "$exe") imports only: ${dlls[*]}"
}

check_manifest() {  # EXE
  local resources
  resources=$("$WINDRES" -i "$1" -O rc) || fail "windres cannot read the resources of $1"
  grep -q '^1 24 ' <<<"$resources" || fail "$1 has no RT_MANIFEST resource 1"
  grep -qF 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' <<<"$resources" ||
    fail "the manifest of $1 does not ask for asInvoker without uiAccess"
  grep -qF 'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""' <<<"$resources" ||
    fail "the manifest of $1 does not declare Windows 10 and 11"
  grep -q '^1 VERSIONINFO' <<<"$resources" && grep -q 'VALUE "FileVersion", "[0-9.]*"' <<<"$resources" ||
    fail "$1 carries no version information"
  echo "$(basename "$1") carries its manifest (RT_MANIFEST 1: asInvoker, Windows 10/11) and version $(
    sed -n 's/.*VALUE "FileVersion", "\([0-9.]*\)".*/\1/p' <<<"$resources")"
}

check_imports "$ctl" "$CTL_DLLS" "the tool's own list: the kernel and the C runtime"
check_manifest "$ctl"
check_imports "$driver_sim" "$SYSTEM_DLLS" "the DLLs of Windows itself, which a bare Windows PC has"
check_manifest "$driver_sim"
