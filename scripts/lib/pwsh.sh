# shellcheck shell=bash
# Sourced by the cases that run PowerShell, and by scripts/install_deps.sh.
#
# pwsh_7_6: sets pwsh to a PowerShell 7.6, the PATH's or else the one that
# `scripts/install_deps.sh powershell` puts in ~/.dotnet/tools (which is off
# ctest's PATH); false when neither is one. Only 7.6 is taken: under an older
# 7 the Legacy and Standard runs would test one way of passing arguments twice.
pwsh_7_6() {
  for pwsh in "$(command -v pwsh || true)" "$HOME/.dotnet/tools/pwsh"; do
    [[ -x $pwsh && $("$pwsh" --version 2>/dev/null) == 'PowerShell 7.6.'* ]] && return 0
  done
  return 1
}

# pwsh_found: pwsh_7_6, with what keeps it quiet and leaves no .NET socket in
# $TMPDIR exported. Without it, says so and returns 77 (skipped), or 1 under
# TAMREL_REQUIRE_PWSH=1, which scripts/test.sh sets.
pwsh_found() {
  export DOTNET_EnableDiagnostics=0 DOTNET_CLI_TELEMETRY_OPTOUT=1 POWERSHELL_TELEMETRY_OPTOUT=1 POWERSHELL_UPDATECHECK=Off
  pwsh_7_6 && return 0
  [[ ${TAMREL_REQUIRE_PWSH:-0} != 1 ]] || { echo "FAIL: no pwsh 7.6, which TAMREL_REQUIRE_PWSH=1 requires (scripts/install_deps.sh powershell)"; return 1; }
  echo "SKIPPED: no pwsh 7.6 (scripts/install_deps.sh powershell installs it)"
  return 77
}
