# The PowerShell completion of tamrel_ctl, through TabExpansion2 as Tab calls
# it. completion_test.sh runs it in a folder whose folders [0], [1], ... each
# hold one file with a hostile name:
#   completion_test.ps1 PS1_FILE TOOL USAGE_FORMS
# The script, plain ASCII, loads silently under strict mode and offers the
# forms of the usage, also to the tool called by its path. Each name,
# completed inside '...' and "...", gives a line that, run with
# $PSNativeCommandArgumentPassing Legacy (Windows PowerShell 5.1's way) and
# Standard, passes the exact path as one argument to a stand-in for the tool
# (printf) and runs nothing. A name holding " only under Standard: Legacy
# cannot pass it, and Windows forbids it.
param($Script, $Tool, $Usage)
Set-StrictMode -Version Latest
$failed = 0
function Check($ok, $what) { if (-not $ok) { Write-Host "FAIL: $what"; $script:failed++ } }
function Offers($line) { (TabExpansion2 -inputScript $line -cursorColumn $line.Length).CompletionMatches | ForEach-Object CompletionText }

Check (-not (& $Script *>&1) -and (Get-Content -Raw $Script) -cnotmatch '[^\x00-\x7F]') "$Script writes to the screen, or is not ASCII"
foreach ($command in 'tamrel_ctl', $Tool) {
    $forms = ((Offers "$command ") -replace "^'|'$" -replace ' $' | Sort-Object) -join '|'
    Check ($forms -ceq (($Usage -split "`n" | Sort-Object) -join '|')) "$command <Tab> offers $forms"
}
# A form with a value, its quote left open, in the quotes the word opened.
Check ((Offers 'tamrel_ctl ipd') -join ' ' -ceq "'ipd?' 'ipd ") "ipd<Tab> offers $(Offers 'tamrel_ctl ipd')"
Check ((Offers "tamrel_ctl $([char]0x201C)lo") -ceq '"load_lh_config ') "$([char]0x201C)lo<Tab> offers something else"
foreach ($file in Get-ChildItem -Recurse -File) {
    foreach ($quote in "'", '"') {
        $line = Offers "tamrel_ctl ${quote}load_lh_config $($file.Directory.Name)/"
        foreach ($passing in 'Standard', 'Legacy' | Where-Object { $_ -eq 'Standard' -or -not $file.Name.Contains('"') }) {
            $got = & { $PSNativeCommandArgumentPassing = $passing; Invoke-Expression "printf '<%s>' $line" }
            Check ($got -ceq "<load_lh_config $($file.FullName)>") "under $passing, $line passes $got"
        }
    }
}
# After a $variable in "...", a ` and a curly double quote of a name are the name's own.
$here = "$PWD"; $name = "b``q$([char]0x201C)"
$null = [IO.Directory]::CreateDirectory("$here/$name/e")
$typed = '"load_lh_config $here/' + ($name -replace '[`\u201C]', '`$0') + '/'
Check ((Offers "tamrel_ctl $typed") -ceq $typed.Replace('$here', $here) + 'e/') "$typed<Tab> offers $(Offers "tamrel_ctl $typed")"
$null = Offers 'tamrel_ctl "load_lh_config /`$(touch PWNED)/$HOME/' # an escaped $ beside a variable
Check (-not (Test-Path PWNED)) 'a name was run'
exit $failed
