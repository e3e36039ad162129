#Requires -Version 7.2
# Runs the test kit on a hosted Windows runner as the README tells a user to, and proves that
# the machine comes back: a full run, then a run cut off with taskkill /f, a refused plain start
# and run-tests.cmd /restore. Before and after, the state is read with reg.exe (a reader the kit
# does not share) and with the guard's own dump (which adds each key's security).
# Usage (pwsh 7.2 or later, elevated): windows-ci.ps1 -Zip KIT.zip -Label "windows-2025 win32" -Out FOLDER
# PSNotApplyErrorActionToStderr is among "the following experimental features are now mainstream
# features in this release" (https://learn.microsoft.com/powershell/scripting/whats-new/what-s-new-in-powershell-72),
# so that "the runtime no longer applies $ErrorActionPreference if the ErrorRecord comes from a
# native command" (https://github.com/PowerShell/PowerShell/pull/13361); without it, as in Windows
# PowerShell 5.1, the 2>&1 below would stop the script at reg.exe's first message.
param([Parameter(Mandatory)][string]$Zip, [Parameter(Mandatory)][string]$Label,
      [Parameter(Mandatory)][string]$Out)
$ErrorActionPreference = 'Stop'
# A native command's exit code is read where it matters, not turned into an error.
$PSNativeCommandUseErrorActionPreference = $false

# What the kit holds and answers (run-tests.cmd, tests/kit/run.h); scripts/check-workflow.sh
# holds these to the build.
$RunTests = 'run-tests.cmd'
$Guard = 'tests\kit_guard.exe'
$Results = 'results'
$Suites = @('core_tests', 'wine_registry_tests', 'win32_tests', 'e2e_tests')
$StateFolder = 'Marblefinch_associate test kit'
$ExitCutOff = 3
$ExitLeftover = 5
# What run-tests.cmd says of a run ended from outside: with the code, it shows that taskkill /f
# left the guard a code run-tests.cmd reads as that (assumed 1: A22, docs/assumptions.md).
$CutOffSaid = 'was ended before it could put the machine back'
# Each suite's limit, in the full run and the cut-off run: the four of them, the cut's two waits,
# the saves, reads and restores around them fit in the step's timeout-minutes in ci.yml, and
# that in the job's, so that a run whose suites all hang ends with the guard naming each one,
# the summary written and the results uploaded. scripts/check-workflow.sh holds the three to
# that order, with the probe's wait, and with the cleanup's below after a cut that failed.
$SuiteLimitSeconds = 900
# Each of the cut's two waits: for the run's snapshot (its save), then from the snapshot for a
# suite that changes keys (core_tests' limit, the half minute the guard gives it to end, and the
# next suite's start). From the limit, so that no image's speed decides when the cut gives up.
$CutWaitSeconds = $SuiteLimitSeconds + 60
# After a cut that failed: one deadline for every process of it to end, then /restore's own.
$CleanupWaitSeconds = 60
$RestoreLimitSeconds = 120

# The 22 types come from the constants the tool is built from, for the records of the user's
# choice of app for each.
$constants = Get-Content -Raw -LiteralPath "$PSScriptRoot\..\src\shared\constants.h"
$types = [regex]::Matches($constants, 'u"(\.[a-z0-9]+)"') | ForEach-Object { $_.Groups[1].Value }
if ($types.Count -lt 2) { throw "no types read from constants.h" }

$kit = Join-Path $env:ProgramFiles "Kit $($Label -replace '[^A-Za-z0-9]+', ' ')"
New-Item -ItemType Directory -Force -Path $Out | Out-Null

# A key and all below it, as reg.exe exports it to a file: read as UTF-16 (assumed: A27,
# docs/assumptions.md; the probe below checks it), not as the console decodes a pipe, which no
# page states (https://github.com/PowerShell/PowerShell/issues/10789) and which garbles names
# outside ASCII.
function Read-Key([string]$key) {
    $file = Join-Path ([IO.Path]::GetTempPath()) 'windows-ci-key.reg'
    try {
        # The page gives "0 Success, 1 Failure"; the kept message tells an absent key from a
        # refused one (assumed: A28, docs/assumptions.md;
        # https://learn.microsoft.com/windows-server/administration/windows-commands/reg-export).
        $said = & reg.exe export $key $file /y 2>&1 | ForEach-Object { "$_" }
        if ($LASTEXITCODE -ne 0) { return @("reg export: exit $LASTEXITCODE") + @($said | Where-Object { $_ }) }
        [IO.File]::ReadAllLines($file, [Text.Encoding]::Unicode) | Select-Object -Skip 1 | Where-Object { $_ -ne '' }
    } finally {
        Remove-Item -LiteralPath $file -ErrorAction SilentlyContinue
    }
}

function Read-State([string]$name) {
    $lines = foreach ($key in $keys) { "[$key]"; Read-Key $key }
    $dump = Join-Path $Out "dump-$name.txt"
    & (Join-Path $kit $Guard) dump $dump 2>&1 | Write-Host
    if ($LASTEXITCODE -ne 0) { throw "the guard's dump failed ($LASTEXITCODE)" }
    # The guard dumps only the keys it guards, each with its security: all of it is kept.
    $lines += @([IO.File]::ReadAllLines($dump) | ForEach-Object { "dump: $_" })
    # The stand-in player's folder (under either Program Files) and the kit's state folder.
    $lines += foreach ($root in $env:ProgramFiles, ${env:ProgramFiles(x86)}, $env:ProgramData) {
        Get-ChildItem -LiteralPath $root -Filter 'Marblefinch*' -Force -ErrorAction SilentlyContinue |
            ForEach-Object { $_; Get-ChildItem -LiteralPath $_.FullName -Recurse -Force } |
            ForEach-Object { "file: $($_.FullName) $($_.Length)" }
    }
    $lines | Set-Content -LiteralPath (Join-Path $Out "state-$name.txt")
    return ($lines -join "`n")
}

function Assert-Same([string]$before, [string]$after, [string]$what) {
    if ($before -ceq $after) { return }
    Compare-Object ($before -split "`n") ($after -split "`n") -CaseSensitive |
        ForEach-Object { "  $(if ($_.SideIndicator -eq '<=') { 'before' } else { 'after ' }): $($_.InputObject)" } |
        Select-Object -First 60 | Write-Host
    throw "the machine is not as before after $what (both records are in the results artifact)"
}

# Through "call", as the runner's cmd shell starts a script: %ComSpec% /D /E:ON /V:OFF /S /C
# "CALL "{0}"" (the shell table of
# https://docs.github.com/en/actions/reference/workflows-and-actions/workflow-syntax#jobsjob_idstepsshell),
# and "cmd.exe will exit with the error level of the last program it executed" (its exit codes).
# That the batch file's exit /b is that error level: assumed, A30, docs/assumptions.md.
function Invoke-Kit([string]$name, [string]$arguments) {
    & cmd.exe /d /s /c "call $RunTests $arguments" 2>&1 | Tee-Object -FilePath (Join-Path $Out "$name.out") | Write-Host
    return $LASTEXITCODE
}

# Unpacked where only administrators write; hosted Windows runs as an administrator with UAC
# disabled (https://docs.github.com/en/actions/reference/runners/github-hosted-runners#administrative-privileges).
# A new object's owner is "the default owner security identifier (SID) from the primary or
# impersonation token of the creating process"
# (https://learn.microsoft.com/windows/win32/secauthz/owner-of-a-new-object), which a policy sets
# to the Administrators group or to the creating user (assumed of the images: A15, A16,
# docs/assumptions.md). The kit trusts only Administrators, SYSTEM and TrustedInstaller, so the
# owner and the DACL are set here rather than left to the image (icacls:
# https://learn.microsoft.com/windows-server/administration/windows-commands/icacls).
Remove-Item -Recurse -Force -LiteralPath $kit -ErrorAction SilentlyContinue
New-Item -ItemType Directory -Path $kit | Out-Null
& icacls.exe $kit /inheritance:r /grant:r '*S-1-5-32-544:(OI)(CI)F' '*S-1-5-18:(OI)(CI)F' '*S-1-5-32-545:(OI)(CI)RX' 2>&1 | Write-Host
if ($LASTEXITCODE -ne 0) { throw "icacls could not set the kit folder's DACL ($LASTEXITCODE)" }
Expand-Archive -LiteralPath $Zip -DestinationPath $kit
# Which assumptions hold here (kit_guard probe; docs/assumptions.md): first, and before
# /setowner, whose owner A15 is about. A probe that fails is reported, never the leg's end; a
# row that does not hold is a warning. The guard ends its probes within 40 s; the wait gives it a
# child's 8 s more (tests/kit/probe.cpp). Kill "executes asynchronously" and WaitForExit does "not
# reflect the status of descendant processes" (https://learn.microsoft.com/dotnet/api/system.diagnostics.process.kill):
# a killed probe may still hold probe.txt, so the note of its failure may not get in; it is shown.
$ProbeLimitSeconds = 50
$probeFile = Join-Path $Out 'probe.txt'
try {
    $probe = Start-Process (Join-Path $kit $Guard) -ArgumentList 'probe' -NoNewWindow -PassThru `
        -RedirectStandardOutput $probeFile -RedirectStandardError (Join-Path $Out 'probe-errors.txt')
    $null = $probe.Handle  # kept, so that the exit code can be read after the wait
    if (-not $probe.WaitForExit($ProbeLimitSeconds * 1000)) { $probe.Kill($true); $null = $probe.WaitForExit(10000); throw "still running after $ProbeLimitSeconds s" }
    if ($probe.ExitCode -ne 0) { throw "exit code $($probe.ExitCode)" }
} catch {
    $why = "$_"
    try { "kit_guard probe failed: $why" | Out-File -Append -Encoding utf8 $probeFile } catch { $why += " (not noted in probe.txt: $_)" }
    Write-Host "::warning::kit_guard probe failed on $Label`: $why"
}
$report = @(try { Get-Content -LiteralPath $probeFile -ErrorAction SilentlyContinue } catch { "probe.txt could not be read: $_" })
$report | Write-Host
foreach ($line in $report) {
    if ($line -match '^(A\d+) \| [^|]* \| does not hold') { Write-Host "::warning::$($Matches[1]) does not hold on $Label`: $line" }
}
try { if ($env:GITHUB_STEP_SUMMARY) { @("#### Assumptions on $Label", '```') + $report + '```' | Out-File -Append -Encoding utf8 $env:GITHUB_STEP_SUMMARY } } catch { Write-Host "::warning::$_" }
& icacls.exe $kit /setowner '*S-1-5-32-544' /T /Q 2>&1 | Write-Host
if ($LASTEXITCODE -ne 0) { throw "icacls could not give the kit to Administrators ($LASTEXITCODE)" }
Set-Location -LiteralPath $kit

# The keys that reg.exe records are the ones the guard saves and restores, as it names them, so
# that the two never differ. Its names are ASCII (types, ProgIDs, its own test keys), which no
# code page of the pipe changes; anything else stops the script rather than go unrecorded.
$keys = @(& (Join-Path $kit $Guard) scope | Where-Object { $_ -ne '' })
if ($LASTEXITCODE -ne 0) { throw "the guard could not name the keys it guards ($LASTEXITCODE)" }
$odd = @($keys | Where-Object { $_ -cnotmatch '^HK(LM|CU)\\[ -~]+$' })
if ($keys.Count -eq 0 -or $odd.Count -gt 0) { throw "the guard named no keys, or lines that are none: $($odd -join ' | ')" }
# And each type's record of the user's choice of app: UserChoiceLatest, which Windows 11 is
# reported to read before UserChoice, then UserChoice (assumed: A6, docs/assumptions.md).
$keys += foreach ($type in $types) {
    foreach ($choice in 'UserChoiceLatest', 'UserChoice') {
        "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts\$type\$choice"
    }
}

# The records must see a name outside ASCII as it is, such as the stand-in player's folder: a
# probe key of such a name (a surrogate pair too) is read back as the records read keys.
$probeKey = 'HKCU\Software\Marblefinch CI probe'
$probeName = "Pr$([char]0xFC)fung $([char]0x6D4B)$([char]0x8BD5) $([char]::ConvertFromUtf32(0x1F3B5))"
try {
    & reg.exe add "$probeKey\$probeName" /f 2>&1 | Write-Host
    if ($LASTEXITCODE -ne 0) { throw "reg add could not make the probe key ($LASTEXITCODE)" }
    $read = @(Read-Key $probeKey)
} finally {
    # Gone whatever happened above; reg delete of a key never made fails, saying so (assumed:
    # A29, docs/assumptions.md).
    & reg.exe delete $probeKey /f 2>&1 | Write-Host
}
if ($LASTEXITCODE -ne 0) { throw "reg delete could not remove the probe key $probeKey ($LASTEXITCODE)" }
if ($read -cnotcontains "[HKEY_CURRENT_USER\Software\Marblefinch CI probe\$probeName]") {
    throw "a key name outside ASCII did not come through reg export as written: $($read -join ' | ')"
}
$first = Read-State 'before'

# 1. The full run: every suite must pass and the machine come back.
$code = Invoke-Kit 'full' "/limit:$SuiteLimitSeconds"
if (Test-Path -LiteralPath (Join-Path $kit $Results)) {
    Copy-Item -Recurse -LiteralPath (Join-Path $kit $Results) -Destination (Join-Path $Out 'full')
}
$skips = @()
$rows = foreach ($xml in Get-ChildItem -LiteralPath (Join-Path $Out 'full') -Filter '*.xml' -ErrorAction SilentlyContinue) {
    $cases = ([xml](Get-Content -Raw -LiteralPath $xml.FullName)).SelectNodes('//testcase')
    $skipped = @($cases | Where-Object { $_.result -eq 'skipped' -or $_.SelectSingleNode('skipped') })
    $failed = @($cases | Where-Object { $_.SelectSingleNode('failure') })
    "| $($xml.BaseName) | $($cases.Count - $skipped.Count - $failed.Count) | $($failed.Count) | $($skipped.Count) |"
    foreach ($case in $skipped) {
        $why = "$($case.SelectSingleNode('skipped').message)" -replace '\s+', ' ' -replace '\|', '\|'
        $skips += @("| $($xml.BaseName) | $($case.classname).$($case.name) | $why |")
    }
}
# What the guard said of each suite: a suite that hung or never started wrote no XML.
$verdicts = Select-String -LiteralPath (Join-Path $Out 'full.out') -Pattern '^run-tests: (passed|FAILED) ' |
    ForEach-Object { "- $($_.Line -replace '^run-tests: ', '' -replace '\s+', ' ')" }
@("### Test kit on $Label (exit code $code)", '') + @($verdicts) + @('', '| suite | passed | failed | skipped |',
  '| --- | --- | --- | --- |') + $rows + @('', '| suite | skipped test | reason |', '| --- | --- | --- |') +
  $skips | Set-Content -Encoding utf8 -LiteralPath (Join-Path $Out 'summary.md')
# The job summary on the run's page, where a person reads it without downloading anything.
if ($env:GITHUB_STEP_SUMMARY) { Get-Content (Join-Path $Out 'summary.md') | Out-File -Append -Encoding utf8 $env:GITHUB_STEP_SUMMARY }
if ($code -ne 0) { throw "run-tests.cmd exited with $code (results\*.log says why)" }
Assert-Same $first (Read-State 'after-full') 'the full run'

# 2. A run cut off during a suite, as by the task manager; under the full run's limit, from
# which the cut's waits are counted.
$cut = Start-Process cmd.exe -ArgumentList "/d /s /c `"call $RunTests /limit:$SuiteLimitSeconds`"" -WorkingDirectory $kit `
    -PassThru -NoNewWindow -RedirectStandardOutput (Join-Path $Out 'cut-off.out') -RedirectStandardError (Join-Path $Out 'cut-off.err')
# Without a cached handle such a process reports no exit code (https://github.com/PowerShell/PowerShell/issues/5421).
$null = $cut.Handle
# Cut as soon as a suite that changes keys (core_tests works on a stand-in store) is seen running
# while the run's snapshot is there: a run passes through that once per such suite, so the cut
# waits for no suite in particular. Processes, not logs: the full run's logs stay in results\
# until the guard clears the folder. The second wait counts from the snapshot's first sight.
$snapshot = Join-Path $env:ProgramData "$StateFolder\snapshot.txt"
$cutDuring = $Suites | Where-Object { $_ -ne 'core_tests' }
$deadline = (Get-Date).AddSeconds($CutWaitSeconds)
$saved = $false
# Whatever fails from here on, the cut-off run is ended and a snapshot it left put back before
# the script ends, so that a run by hand never leaves the machine as the cut left it.
try {
    while (-not ((Test-Path -LiteralPath $snapshot) -and (Get-Process -Name $cutDuring -ErrorAction SilentlyContinue))) {
        if (-not $saved -and (Test-Path -LiteralPath $snapshot)) {
            $saved = $true
            $deadline = (Get-Date).AddSeconds($CutWaitSeconds)
        }
        if ($cut.HasExited -or (Get-Date) -gt $deadline) {
            Get-Content (Join-Path $Out 'cut-off.out') | Write-Host
            $why = if ($cut.HasExited) { "it exited with $($cut.ExitCode)" } else { "not within $CutWaitSeconds s" }
            $what = if ($saved) { 'no suite that changes keys was seen running' } else { 'no snapshot appeared' }
            throw "$what in the cut-off run ($why)"
        }
        Start-Sleep -Milliseconds 100
    }
    & taskkill.exe /f /im (Split-Path -Leaf $Guard)
    if ($LASTEXITCODE -ne 0) { throw "taskkill could not end the guard ($LASTEXITCODE)" }
    $cut.WaitForExit()
    Get-Content (Join-Path $Out 'cut-off.out') | Write-Host
    if ($cut.ExitCode -ne $ExitCutOff) { throw "the cut-off run exited with $($cut.ExitCode), expected $ExitCutOff" }
    if (-not (Select-String -Quiet -SimpleMatch $CutOffSaid -LiteralPath (Join-Path $Out 'cut-off.out'))) {
        throw "the cut-off run did not say `"$CutOffSaid`": taskkill /f left the guard a code other than the one assumed (A22)"
    }
    # The suites' job ends them with the guard: each is waited for, up to a minute, not slept on.
    foreach ($left in @(Get-Process -Name $Suites -ErrorAction SilentlyContinue)) { $null = $left.WaitForExit(60000) }
    if (Get-Process -Name $Suites -ErrorAction SilentlyContinue) { throw "a suite outlived the guard that ran it" }

    # A folder verb installed after the cut: the plain start must name it, /restore must undo it.
    & reg.exe add 'HKLM\Software\Classes\Directory\shell\CiAddedLater\command' /ve /d 'later.exe "%1"' /f
    if ($LASTEXITCODE -ne 0) { throw "reg add failed" }
    $code = Invoke-Kit 'refusing' ''
    if ($code -ne $ExitLeftover) { throw "a plain start after the cut-off exited with $code, expected $ExitLeftover" }
    foreach ($text in 'CiAddedLater', '/restore') {
        if (-not (Select-String -Quiet -SimpleMatch $text -LiteralPath (Join-Path $Out 'refusing.out'))) {
            throw "the refusing start did not say `"$text`""
        }
    }
    $code = Invoke-Kit 'restoring' '/restore'
    if ($code -ne 0) { throw "run-tests.cmd /restore exited with $code, expected 0" }
} catch {
    # A cut-off run whose wait gave up is still going, and its guard holds the lock /restore
    # needs: it and what it started end first ("/t: Ends the specified process and any child
    # processes started by it": https://learn.microsoft.com/windows-server/administration/windows-commands/taskkill),
    # all of them waited for until one deadline. A cleanup that fails is named beside the error
    # before it, and so is where that was raised ("where the cmdlet appeared in the line":
    # https://learn.microsoft.com/dotnet/api/system.management.automation.invocationinfo.positionmessage).
    $failure = $_
    $cleanup = @()
    $until = (Get-Date).AddSeconds($CleanupWaitSeconds)
    try {
        if (-not $cut.HasExited) {
            $said = & taskkill.exe /f /t /pid $cut.Id 2>&1 | ForEach-Object { "$_" }
            $killed = $LASTEXITCODE
            $tree = @($cut) + @(Get-Process -Name (@([IO.Path]::GetFileNameWithoutExtension($Guard)) + $Suites) -ErrorAction SilentlyContinue)
            if (@($tree | Where-Object { -not $_.WaitForExit([int][Math]::Max(0, ($until - (Get-Date)).TotalMilliseconds)) }).Count) {
                $cleanup += "taskkill /f /t exited with $killed and the cut-off run still runs after $CleanupWaitSeconds s: $($said -join ' ')"
            }
        }
    } catch { $cleanup += "ending the cut-off run failed: $_" }
    if (-not $cleanup.Count -and (Test-Path -LiteralPath $snapshot)) {
        Write-Host "windows-ci: putting back the cut-off run's snapshot after a failure"
        try {
            $restore = Start-Process cmd.exe -ArgumentList "/d /s /c `"call $RunTests /restore`"" -WorkingDirectory $kit -PassThru -NoNewWindow `
                -RedirectStandardOutput (Join-Path $Out 'cleanup.out') -RedirectStandardError (Join-Path $Out 'cleanup.err')
            $null = $restore.Handle
            if (-not $restore.WaitForExit($RestoreLimitSeconds * 1000)) { throw "still runs after $RestoreLimitSeconds s" }
            if ($restore.ExitCode -ne 0) { throw "exited with $($restore.ExitCode): $(Get-Content -Raw (Join-Path $Out 'cleanup.out'))" }
        } catch { $cleanup += "run-tests.cmd /restore $_" }
    }
    if ($cleanup.Count) { throw "$failure $($failure.InvocationInfo.PositionMessage)`nand the cleanup after it failed: $($cleanup -join '; ')" }
    throw
}
Assert-Same $first (Read-State 'after-restore') 'the cut-off run and /restore'
# The kit folder goes too, so that a run by hand leaves nothing; after a failure it stays to
# be looked at. The records and the full run's results are in -Out.
Set-Location -LiteralPath $Out
Remove-Item -Recurse -Force -LiteralPath $kit -ErrorAction SilentlyContinue
if (Test-Path -LiteralPath $kit) { Write-Host "windows-ci: $kit is held open in part; remove it by hand" }
Write-Host "windows-ci: passed on $Label (full run; cut-off run, refused start, /restore; state as before each time)"
# The step ends with the last native command's exit code unless the script sets one:
# https://docs.github.com/en/actions/reference/workflows-and-actions/workflow-syntax#exit-codes-and-error-action-preference
exit 0
