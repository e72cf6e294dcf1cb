# shellcheck shell=bash
# Sourced by the cases that run PowerShell.
#
# pwsh_found: sets pwsh to PowerShell 7, found on the PATH or where
# `scripts/install_deps.sh powershell` puts it (~/.dotnet/tools, which is off
# ctest's PATH), and exports what keeps it quiet and leaves no .NET socket in
# $TMPDIR. Without it, says so and returns 77 (skipped), or 1 under
# TAMREL_REQUIRE_PWSH=1, which scripts/test.sh sets.
pwsh_found() {
  pwsh=$(command -v pwsh || echo "$HOME/.dotnet/tools/pwsh")
  export DOTNET_EnableDiagnostics=0 DOTNET_CLI_TELEMETRY_OPTOUT=1 POWERSHELL_TELEMETRY_OPTOUT=1 POWERSHELL_UPDATECHECK=Off
  [[ -x $pwsh ]] && return 0
  [[ ${TAMREL_REQUIRE_PWSH:-0} != 1 ]] || { echo "FAIL: pwsh not found, which TAMREL_REQUIRE_PWSH=1 requires (scripts/install_deps.sh powershell)"; return 1; }
  echo "SKIPPED: pwsh not found (scripts/install_deps.sh powershell installs it)"
  return 77
}
