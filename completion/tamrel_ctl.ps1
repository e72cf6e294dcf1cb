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
# Each choice is listed as it completes, quotes and command included:
# PSReadLine's Complete inserts the prefix common to the listed texts when
# the choices differ in their quoting (an open form beside a closed one, a
# folder beside a file), and that prefix must still be the argument.
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
            # .Value has lost its backticks: an escaped $ would be read, or run,
            # and a ` or a double quote of a name must be escaped again.
            if ($value.Split([char]36).Count - 1 -gt @($word.NestedExpressions).Count) { return }
            $value = $value -replace '[`"\u201C-\u201E]', '`$0'
            try { $value = $ExecutionContext.InvokeCommand.ExpandString($value) } catch { return }
        }
    }
    # What PowerShell takes as a quote of each kind: ' and the curly ones.
    $escape = if ($quote -eq "'") { "['\u2018-\u201B]", '$0$0' } else { '[`$"\u201C-\u201E]', '`$0' }
    $type = [System.Management.Automation.CompletionResultType]::ParameterValue
    $offer = {
        param($text, $close, $tip)
        $completion = $quote + ($text -replace $escape) + $close
        [System.Management.Automation.CompletionResult]::new($completion, $completion, $type, $tip)
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
        # The folder listed by .NET, which tells folders from files without
        # a stat of each, narrowed by a pattern. A pattern cannot escape its
        # wildcards everywhere: it stops before the first one, and each name
        # found is checked again (a pattern also matches more: abc.* matches
        # abc, and 5.1 matches short 8.3 names). Case is ignored, as by
        # PowerShell itself: 7 is told so, and to show hidden names, which its
        # options hide by default; 5.1, which has no options, does both.
        $cut = $leaf.IndexOfAny([char[]]'*?\<>"')
        $pattern = $(if ($cut -lt 0) { $leaf } else { $leaf.Substring(0, $cut) }) + '*'
        $close = [IO.Path]::DirectorySeparatorChar
        $texts = [Collections.Generic.List[string]]::new()
        $results = [Collections.Generic.List[System.Management.Automation.CompletionResult]]::new()
        # A listing can fail while it runs, not only as it starts. No $offer
        # in the loop: for each name of a large folder, calling it costs more
        # than all the rest.
        try {
            $directory = [IO.DirectoryInfo]::new($folder)
            if ($PSVersionTable.PSVersion.Major -ge 7) {
                $entries = $directory.EnumerateFileSystemInfos($pattern,
                    [IO.EnumerationOptions]@{ MatchCasing = 'CaseInsensitive'; AttributesToSkip = 0 })
            } else {
                $entries = $directory.EnumerateFileSystemInfos($pattern)
            }
            foreach ($entry in $entries) {
                if ($leaf -and -not $entry.Name.StartsWith($leaf, 'OrdinalIgnoreCase')) { continue }
                $path = $entry.FullName
                $completion = $quote + (($lh + $path) -replace $escape)
                if ($entry -is [IO.DirectoryInfo]) { $completion += $close } else { $completion += $quote }
                $texts.Add($completion)
                $results.Add([System.Management.Automation.CompletionResult]::new($completion, $completion, $type, $path))
            }
        } catch { }
        # In the order of PowerShell's own path completion.
        $results = $results.ToArray()
        [Array]::Sort($texts.ToArray(), $results, [StringComparer]::OrdinalIgnoreCase)
        $results
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
