# Runs the test kit on a hosted Windows runner as the README tells a user to, and proves that
# the machine comes back: a full run, then a run cut off with taskkill /f, a refused plain start
# and run-tests.cmd /restore. Before and after, the state is read with reg.exe (a reader the kit
# does not share) and with the guard's own dump (which adds each key's security).
# Usage (pwsh, elevated): windows-ci.ps1 -Zip KIT.zip -Label "windows-2025 win32" -Out FOLDER
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
$E2eSuite = 'e2e_tests'
$ExitCutOff = 3
$ExitLeftover = 5

# The 22 types and their ProgIDs come from the constants the tool is built from.
$constants = Get-Content -Raw -LiteralPath "$PSScriptRoot\..\src\shared\constants.h"
$types = [regex]::Matches($constants, 'u"(\.[a-z0-9]+)"') | ForEach-Object { $_.Groups[1].Value }
$prefix = [regex]::Match($constants, 'ProgIdPrefix = u"([^"]+)"').Groups[1].Value
if ($types.Count -lt 2 -or -not $prefix) { throw "no types or ProgID prefix read from constants.h" }
$classKeys = @('Directory\shell', 'OtherPlayer.mp3') + $types + ($types | ForEach-Object { "$prefix$_" })
$guarded = [Collections.Generic.HashSet[string]]::new([string[]]$classKeys, [StringComparer]::OrdinalIgnoreCase)
$keys = foreach ($half in 'HKLM', 'HKCU') { $classKeys | ForEach-Object { "$half\Software\Classes\$_" } }
$keys += $types | ForEach-Object { "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts\$_\UserChoice" }

$kit = Join-Path $env:ProgramFiles "Kit $($Label -replace '[^A-Za-z0-9]+', ' ')"
New-Item -ItemType Directory -Force -Path $Out | Out-Null

function Read-State([string]$name) {
    $lines = foreach ($key in $keys) {
        "[$key]"
        # An absent key and a refused one both exit 1, "Failure"; the message tells them apart
        # (https://learn.microsoft.com/en-us/windows-server/administration/windows-commands/reg-query).
        & reg.exe query $key /s 2>&1 | ForEach-Object { "$_" } | Where-Object { $_ -ne '' }
    }
    $dump = Join-Path $Out "dump-$name.txt"
    & (Join-Path $kit $Guard) dump $dump 2>&1 | Write-Host
    if ($LASTEXITCODE -ne 0) { throw "the guard's dump failed ($LASTEXITCODE)" }
    # Of the dump of both classes halves, the sections at or below the keys above.
    $keep = $false
    $lines += foreach ($line in [IO.File]::ReadLines($dump)) {
        if ($line -match '^\[HK[LC][MU]\\Software\\Classes\\([^\\\]]+)(\\([^\\\]]+))?') {
            $keep = $guarded.Contains($Matches[1]) -or $guarded.Contains("$($Matches[1])\$($Matches[3])")
        } elseif ($line.StartsWith('[')) {
            $keep = $false
        }
        if ($keep) { "dump: $line" }
    }
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

# Through "call", as the runner's own cmd shell starts a script, so that the batch file's exit /b
# is cmd's exit code (the shell table of
# https://docs.github.com/en/actions/reference/workflows-and-actions/workflow-syntax#jobsjob_idstepsshell).
function Invoke-Kit([string]$name, [string]$arguments) {
    & cmd.exe /d /s /c "call $RunTests $arguments" 2>&1 | Tee-Object -FilePath (Join-Path $Out "$name.out") | Write-Host
    return $LASTEXITCODE
}

# Unpacked where only administrators write; hosted Windows runs as an administrator with UAC
# disabled (https://docs.github.com/en/actions/reference/runners/github-hosted-runners#administrative-privileges).
# Who owns a new folder is a machine's policy, the Administrators group or the creating user
# (https://support.microsoft.com/kb/318825), and Program Files' CREATOR OWNER entry gives that
# owner full control; the kit trusts only Administrators, SYSTEM and TrustedInstaller, so the
# owner and the DACL are set here rather than left to the image (icacls:
# https://learn.microsoft.com/windows-server/administration/windows-commands/icacls).
Remove-Item -Recurse -Force -LiteralPath $kit -ErrorAction SilentlyContinue
New-Item -ItemType Directory -Path $kit | Out-Null
& icacls.exe $kit /inheritance:r /grant:r '*S-1-5-32-544:(OI)(CI)F' '*S-1-5-18:(OI)(CI)F' '*S-1-5-32-545:(OI)(CI)RX' 2>&1 | Write-Host
if ($LASTEXITCODE -ne 0) { throw "icacls could not set the kit folder's DACL ($LASTEXITCODE)" }
Expand-Archive -LiteralPath $Zip -DestinationPath $kit
& icacls.exe $kit /setowner '*S-1-5-32-544' /T /Q 2>&1 | Write-Host
if ($LASTEXITCODE -ne 0) { throw "icacls could not give the kit to Administrators ($LASTEXITCODE)" }
Set-Location -LiteralPath $kit
$first = Read-State 'before'

# 1. The full run: every suite must pass and the machine come back.
$code = Invoke-Kit 'full' ''
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
@("### Test kit on $Label (exit code $code)", '', '| suite | passed | failed | skipped |',
  '| --- | --- | --- | --- |') + $rows + @('', '| suite | skipped test | reason |', '| --- | --- | --- |') +
  $skips | Set-Content -Encoding utf8 -LiteralPath (Join-Path $Out 'summary.md')
# The job summary on the run's page, where a person reads it without downloading anything.
if ($env:GITHUB_STEP_SUMMARY) { Get-Content (Join-Path $Out 'summary.md') | Out-File -Append -Encoding utf8 $env:GITHUB_STEP_SUMMARY }
if ($code -ne 0) { throw "run-tests.cmd exited with $code (results\*.log says why)" }
Assert-Same $first (Read-State 'after-full') 'the full run'

# 2. A run cut off during the end-to-end suite, as by the task manager.
$cut = Start-Process cmd.exe -ArgumentList "/d /s /c `"call $RunTests`"" -WorkingDirectory $kit -PassThru -NoNewWindow `
    -RedirectStandardOutput (Join-Path $Out 'cut-off.out') -RedirectStandardError (Join-Path $Out 'cut-off.err')
# Without a cached handle such a process reports no exit code (https://github.com/PowerShell/PowerShell/issues/5421).
$null = $cut.Handle
# The suite's own process, not its log: the full run's log stays in results\ until the guard
# clears the folder.
$deadline = (Get-Date).AddMinutes(40)
while (-not (Get-Process -Name $E2eSuite -ErrorAction SilentlyContinue)) {
    if ($cut.HasExited -or (Get-Date) -gt $deadline) {
        Get-Content (Join-Path $Out 'cut-off.out') | Write-Host
        throw "the end-to-end suite never started in the cut-off run"
    }
    Start-Sleep -Milliseconds 500
}
Start-Sleep -Seconds 5
if (-not (Get-Process -Name $E2eSuite -ErrorAction SilentlyContinue)) { throw "the end-to-end suite ended within 5 s, before the cut" }
& taskkill.exe /f /im (Split-Path -Leaf $Guard)
if ($LASTEXITCODE -ne 0) { throw "taskkill could not end the guard ($LASTEXITCODE)" }
$cut.WaitForExit()
Get-Content (Join-Path $Out 'cut-off.out') | Write-Host
if ($cut.ExitCode -ne $ExitCutOff) { throw "the cut-off run exited with $($cut.ExitCode), expected $ExitCutOff" }
Start-Sleep -Seconds 10
if (Get-Process -Name $E2eSuite -ErrorAction SilentlyContinue) { throw "a suite outlived the guard that ran it" }

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
