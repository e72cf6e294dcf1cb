# PowerShell completion for tamrel_ctl, in Windows PowerShell 5.1 and
# PowerShell 7, for tamrel_ctl and tamrel_ctl.exe, also called by a path
# (.\bin\tamrel_ctl.exe). Load it from $PROFILE:
#
#     . "C:\Tools\tamrel_ctl\tamrel_ctl.ps1"
#
# tamrel_ctl takes one argument, the whole command, and Tab completes that
# argument to a single quoted one, which both versions pass to the tool as
# it stands (never relying on PowerShell 7's way of passing arguments):
#   - the thirteen command forms, from an empty word, a partial one or one
#     opened with a quote: a complete form such as 'status' closed, a form
#     that takes a value such as 'ipd  left open, the cursor where the value
#     goes. In single quotes, unless the word opens with a double quote.
#   - after 'load_lh_config , absolute paths from the file system, a folder
#     with its quote left open, to go on into: the driver reads a relative
#     path from the folder it was started in (for the real driver, SteamVR's
#     working folder), not from yours. A name is someone else's choice, so
#     it is escaped for its quotes, curly ones included: in '...' each single
#     quote written twice, in "..." a backtick before each `, $ and double
#     quote. The tool then gets the exact path, and nothing in a name is run.
#     Of a "..." word, $variables are read; a word holding anything else,
#     an escaped $ included, is not completed.
# Plain ASCII: Windows PowerShell reads a script without a byte-order mark in
# the ANSI code page.

Register-ArgumentCompleter -Native -CommandName tamrel_ctl, tamrel_ctl.exe -ScriptBlock {
    param($wordToComplete, $commandAst, $cursorPosition)
    # The first argument only: the word under the cursor, or none yet.
    $elements = $commandAst.CommandElements
    $word = $null
    if ($elements.Count -ge 2 -and $elements[1].Extent.StartOffset -le $cursorPosition -and
        $cursorPosition -le $elements[1].Extent.EndOffset) {
        $word = $elements[1]
    } elseif ($elements.Count -ge 2 -or $cursorPosition -le $elements[0].Extent.EndOffset) {
        return
    }

    $value = ''
    $quote = "'"
    if ($word) {
        if ($word -isnot [System.Management.Automation.Language.StringConstantExpressionAst] -and
            $word -isnot [System.Management.Automation.Language.ExpandableStringExpressionAst]) { return }
        if ($word.StringConstantType -eq 'DoubleQuoted') { $quote = '"' }
        elseif ($word.StringConstantType -notin 'SingleQuoted', 'BareWord') { return }
        $value = $word.Value
        if ($word -is [System.Management.Automation.Language.ExpandableStringExpressionAst]) {
            foreach ($nested in $word.NestedExpressions) {
                if ($nested -isnot [System.Management.Automation.Language.VariableExpressionAst]) { return }
            }
            # .Value has lost its backticks: an escaped $ would be read, or run.
            if ($value.Split([char]36).Count - 1 -gt @($word.NestedExpressions).Count) { return }
            try { $value = $ExecutionContext.InvokeCommand.ExpandString($value) } catch { return }
        }
    }
    # What PowerShell takes as a quote of each kind: ' and the curly ones.
    $escape = if ($quote -eq "'") { "['\u2018-\u201B]", '$0$0' } else { '[`$"\u201C-\u201E]', '`$0' }
    $offer = {
        param($text, $close, $tip)
        $completion = $quote + ($text -replace $escape) + $close
        [System.Management.Automation.CompletionResult]::new($completion, $tip, 'ParameterValue', $tip)
    }

    $lh = 'load_lh_config '
    if ($value.StartsWith($lh, 'Ordinal')) {
        $partial = $value.Substring($lh.Length)
        $cut = $partial.LastIndexOfAny([char[]]([IO.Path]::DirectorySeparatorChar, [IO.Path]::AltDirectorySeparatorChar)) + 1
        $folder = $partial.Substring(0, $cut)
        $leaf = $partial.Substring($cut)
        if (-not $folder) { $folder = '.' }
        $provider = $null
        $drive = $null
        try {
            $folder = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($folder, [ref]$provider, [ref]$drive)
        } catch { return }
        if ($provider.Name -ne 'FileSystem') { return }
        # -LiteralPath: [ and ] in a name are no wildcards.
        Get-ChildItem -LiteralPath "Microsoft.PowerShell.Core\FileSystem::$folder" -Force -ErrorAction Ignore |
            Where-Object { $_.Name.StartsWith($leaf, 'OrdinalIgnoreCase') } | ForEach-Object {
                if ($_.PSIsContainer) {
                    & $offer ($lh + $_.FullName + [IO.Path]::DirectorySeparatorChar) '' $_.FullName
                } else {
                    & $offer ($lh + $_.FullName) $quote $_.FullName
                }
            }
        return
    }
    foreach ($form in 'proximity on', 'proximity off', 'proximity auto', 'status', 'ipd?',
        'backglow off', 'backglow on', 'backglow status') {
        if ($form.StartsWith($value, 'Ordinal')) { & $offer $form $quote $form }
    }
    foreach ($form in 'ipd ', 'load_lh_config ', 'backglow fill', 'backglow set ', 'backglow bri ') {
        if ($form.StartsWith($value, 'Ordinal')) { & $offer $form '' "$form..." }
    }
}
