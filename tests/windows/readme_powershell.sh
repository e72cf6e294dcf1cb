#!/usr/bin/env bash
# README.txt's PowerShell examples, run in PowerShell 7 against the Linux tool
# and stand-in driver, each under $PSNativeCommandArgumentPassing 'Legacy'
# (how Windows PowerShell 5.1 passes arguments) and 'Standard', in a script
# that sets $ErrorActionPreference = 'Stop' and, as strict as 7 gets,
# $PSNativeCommandUseErrorActionPreference. Each example is taken from the
# README as it stands, by a line it holds; a README without it fails.
#
#   tests/windows/readme_powershell.sh README TAMREL_CTL TAMREL_DRIVER_SIM
#
# The names the examples use resolve to the Linux programs through a bin
# folder; the stand-in driver takes 1.2 s to start, as a first start that
# a virus scanner holds up on Windows, so that the wait loops wait and a
# script that sends before its own stand-in serves reaches another driver.
# Read only, not run: the Path change, Unblock-File, VersionInfo (an ELF
# file has none), the checksum, and the paths with backslashes. Exits 77
# (skipped) without pwsh.
set -euo pipefail
# shellcheck source=scripts/lib/pwsh.sh
source "$(dirname "$0")/../../scripts/lib/pwsh.sh"
# shellcheck source=scripts/lib/readme_example.sh
source "$(dirname "$0")/../../scripts/lib/readme_example.sh"
pwsh_found || exit $?
dir=$(mktemp -d)
# At the end, should a run stop half way, the wait loop's stand-in driver too: the lock names it.
trap 'kill -KILL "$(cat "$dir/run/tamrel_proximity_ctl.lock" 2>/dev/null)" 2>/dev/null || true; rm -rf "$dir"' EXIT
printf '#!/bin/sh\nsleep 1.2\nexec "%s" "$@"\n' "$3" | install -D -m 0755 /dev/stdin "$dir/bin/tamrel_driver_sim.exe"
for name in tamrel_ctl tamrel_ctl.exe; do ln -s "$2" "$dir/bin/$name"; done

# 0 the wait loop, 1 the stand-in driver in a script, 2 Invoke-Tamrel,
# 3 one value of status, 4 limit.ps1, 5 the profile line.
examples=('if ($LASTEXITCODE -ne 0) { .\bin\tamrel_ctl.exe status }' '$d = Start-Process .\bin\tamrel_driver_sim.exe'
          'function Invoke-Tamrel' '$ipd = @(Invoke-Tamrel status)' 'param([string]$Command, [int]$Seconds = 5)'
          'Add-Content $PROFILE')
for i in "${!examples[@]}"; do
  readme_example "$1" "${examples[i]}" >"$dir/$i.ps1" || { echo "README.txt has no example with the line: ${examples[i]}"; exit 1; }
done

# `. check RUN TEST WHAT` runs the block RUN where the script's own variables
# are, its output and what it threw in $out; TEST must then hold.
cat >"$dir/check.ps1" <<'EOF'
$failed = 0
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'
$PSNativeCommandUseErrorActionPreference = $true
function check($run, $test, $what) {
    $out = try { . $run *>&1 } catch { "threw: $_" }
    if (-not (& $test)) { $script:failed = 1; "FAILED under ${mode}: $what; it wrote: $out" }
}
foreach ($mode in 'Legacy', 'Standard') {
    $PSNativeCommandArgumentPassing = $mode
    . check { . ./1.ps1 } { "$out" -match '^OK leds: (FF8000 ){9}FF8000$' -and $d.WaitForExit(5000) } 'the stand-in driver answers, then is stopped'
    Remove-Item "$env:XDG_RUNTIME_DIR/*"
    . check { . ./0.ps1 } { @(@($out) -like 'proximity: *').Count -eq 1 -and "$out" -notmatch 'Error' } 'the wait loop ends once the driver answers'
    # The other driver's log reaches this script's standard error (stderr.log), its own a file.
    . check { . ./1.ps1 } { "$out" -like 'threw: no stand-in driver: *already serves*' -and -not (Select-String -Quiet '"backglow fill' stderr.log) } 'a stand-in driver beside another, started late: no command reaches the other'
    . check { . ./2.ps1 } { "$out" -like "OK ipd 64* threw: tamrel_ctl 'backglow bri 300' refused: ERR *" } 'Invoke-Tamrel throws on a refusal'
    # In a runspace of its own, where no try around the call changes what an error does.
    foreach ($preference in 'Stop', 'Continue') {
        $path, $inner = $env:PATH, ("`$ErrorActionPreference = '$preference'; tamrel_ctl 'ipd?'; `$env:PATH = ''`n" +
            "function Invoke-Tamrel { $((Get-Command Invoke-Tamrel).Definition) }`nInvoke-Tamrel status; 'returned'")
        . check { [powershell]::Create().AddScript($inner).Invoke() } { "$out" -like "threw: *'tamrel_ctl'*" } "Invoke-Tamrel without tamrel_ctl, under '$preference'"
        $env:PATH = $path
    }
    . check { . ./3.ps1 } { "$out" -eq 'The IPD is 64.0 mm' } 'the IPD that Invoke-Tamrel set is read from status'
    . check { & $env:PWSH -NoProfile -File ./4.ps1 status } { "$out" -like 'proximity: *' -and $LASTEXITCODE -eq 0 } 'limit.ps1 passes the reply and the status on'
    /bin/kill -STOP ($driver = /bin/cat "$env:XDG_RUNTIME_DIR/tamrel_proximity_ctl.lock")
    . check { . ./4.ps1 status 1 } { $LASTEXITCODE -eq 1 -and $p.WaitForExit(5000) } 'limit.ps1 stops a call that hangs, and exits 1'
    /bin/kill -CONT $driver
    Stop-Process -Id $driver
    Remove-Item "$env:XDG_RUNTIME_DIR/*"
    $inner = "function Invoke-Tamrel { $((Get-Command Invoke-Tamrel).Definition) }`n" + (Get-Content -Raw ./3.ps1)
    . check { [powershell]::Create().AddScript($inner).Invoke() } { "$out" -like "threw: *'status' failed*" } 'one value with no driver, under the default preferences: it fails, and prints no half line'
}
$PROFILE = "$PWD/profile.ps1"; Set-Content -NoNewline -Path $PROFILE -Value 'Set-Alias zz Get-Date'
. check { . ./5.ps1 } { $lines = Get-Content $PROFILE; $lines[0] -eq 'Set-Alias zz Get-Date' -and $lines[-1] -like '. *' } 'the profile line starts on a line of its own'
exit $failed
EOF
cd "$dir"
mkdir -m 0700 run
XDG_RUNTIME_DIR=$dir/run TEMP=$dir PATH=$dir/bin:$PATH NO_COLOR=1 PWSH=$pwsh "$pwsh" -NoProfile -NonInteractive -File check.ps1 2> >(tee stderr.log >&2)
