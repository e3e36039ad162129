#!/usr/bin/env bash
# Runs the test kit as a stranger would on Windows: unpacked into a folder whose name has
# spaces and characters outside ASCII, in a new 64-bit prefix of its own seeded as Windows
# ships, started through Wine's cmd with nothing from this side in the environment beyond
# what Wine itself needs. Requires, for a run that passes and for one whose tool exits at
# once (and so fails), that both halves of the classes view are afterwards byte for byte
# what they were, and that nothing new is left under Program Files. The first run also
# finds a snapshot left by a run that was cut off, and must restore from it first.
# Usage: kit-check.sh KIT_ZIP EMPTY_PROGRAM WORK_FOLDER
set -euo pipefail
kit_zip=$(realpath "$1")
empty_program=$(realpath "$2")
work=$3
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
    echo "kit-check: FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
prefix=$work/wineprefix
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true' EXIT
bash "$root/scripts/wine-prefix.sh" "$prefix" win64 >/dev/null

wine=/usr/lib/wine/wine64
# Only what Wine needs: where the prefix is, a display, a locale for file names, a home
# and a path for its own helpers; nothing of the build.
run_wine() {
    env -i HOME="$HOME" PATH=/usr/bin:/bin LANG=C.UTF-8 DISPLAY="$DISPLAY" \
        WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        "$wine" "$@"
}
reg() {
    run_wine reg "$@" >/dev/null
}

# As Windows ships it: a folder class with verbs (the prefix script seeds two), a foreign
# .mp3 with the values Windows gives it, and a type the user registered for themselves.
reg add 'HKLM\Software\Classes\.mp3' /ve /d 'OtherApp.Mp3File' /f
reg add 'HKLM\Software\Classes\.mp3' /v 'Content Type' /d 'audio/mpeg' /f
reg add 'HKLM\Software\Classes\.mp3' /v PerceivedType /d audio /f
reg add 'HKLM\Software\Classes\.mp3\OpenWithProgids' /v OtherApp.Mp3File /t REG_NONE /f
reg add 'HKLM\Software\Classes\OtherApp.Mp3File\shell\open\command' /ve \
    /d '"C:\Program Files\Other\other.exe" "%1"' /f
reg add 'HKCU\Software\Classes\.ogg' /ve /d 'UserPlayer.ogg' /f
reg add 'HKCU\Software\Classes\.ogg\OpenWithProgids' /v UserPlayer.ogg /t REG_NONE /f

folder_name="Kit Prüfung 测试"
kit=$prefix/drive_c/$folder_name
kit_windows="C:\\$folder_name"
mkdir -p "$kit"
(cd "$kit" && python3 -m zipfile -e "$kit_zip" .)
[ -f "$kit/run-tests.cmd" ] || fail "no run-tests.cmd at the kit's top"

# The state to come back to: both halves exported by Wine's own reg.exe, and dumped with
# each key's security by the kit's guard; the files under Program Files.
snapshot_state() {  # name
    run_wine reg export 'HKLM\Software\Classes' "C:\\state-$1-machine.reg" /y >/dev/null
    run_wine reg export 'HKCU\Software\Classes' "C:\\state-$1-user.reg" /y >/dev/null
    run_wine "$kit_windows\\tests\\kit_guard.exe" dump "C:\\state-$1-guard.txt"
    (cd "$prefix/drive_c" && find "Program Files" "Program Files (x86)" | sort) \
        >"$prefix/drive_c/state-$1-files.txt"
}
expect_state_as_before() {  # name
    local part
    for part in machine.reg user.reg guard.txt files.txt; do
        if ! cmp -s "$prefix/drive_c/state-before-$part" "$prefix/drive_c/state-$1-$part"; then
            diff <(iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/state-before-$part" 2>/dev/null ||
                cat "$prefix/drive_c/state-before-$part") \
                <(iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/state-$1-$part" 2>/dev/null ||
                    cat "$prefix/drive_c/state-$1-$part") | head -n 20 >&2 || true
            fail "after the $1 run, $part differs from before the run"
        fi
    done
}
snapshot_state before
grep -q 'OtherApp.Mp3File' "$prefix/drive_c/state-before-guard.txt" ||
    fail "the guard's dump does not show the seeded .mp3"

run_kit() {  # name: runs run-tests.cmd, prints its output, leaves its exit code in $status
    status=0
    (cd "$prefix/drive_c" && run_wine cmd /c "$kit_windows\\run-tests.cmd") \
        >"$work/$1.out" 2>&1 || status=$?
    tr -d '\r' <"$work/$1.out" | sed "s/^/  [$1] /"
}

# A run that was cut off: its snapshot is there, and the hive still holds what its suites
# changed. The next start must put that right before anything else.
state_folder="$prefix/drive_c/ProgramData/Marblefinch_associate test kit"
state_windows='C:\ProgramData\Marblefinch_associate test kit'
# Taken from a command prompt, as run-tests.cmd takes it; the prompt ends, so the lock is
# stale, as after a restart.
# (A batch file is read in the ANSI code page: the kit's folder comes from %~dp0.)
printf '@"%%~dp0tests\\kit_guard.exe" lock "%s"\r\n@if errorlevel 1 exit /b 1\r\n@"%%~dp0tests\\kit_guard.exe" save "%s\\snapshot.txt"\r\n' \
    "$state_windows" "$state_windows" >"$kit/cut-off-run.cmd"
(cd "$prefix/drive_c" && run_wine cmd /c "$kit_windows\\cut-off-run.cmd") ||
    fail "could not plant a cut-off run"
rm "$kit/cut-off-run.cmd"
reg add 'HKLM\Software\Classes\.mp3' /ve /d 'Marblefinch.mp3' /f
reg delete 'HKLM\Software\Classes\.mp3' /v PerceivedType /f
reg add 'HKLM\Software\Classes\Marblefinch.wav\Shell\Open\Command' /ve /d 'left over' /f

echo "kit-check: running the kit from \"$kit_windows\""
start=$(date +%s)
run_kit passing
echo "kit-check: the run took $(($(date +%s) - start)) s"
[ "$status" -eq 0 ] || fail "run-tests.cmd exited with $status, expected 0"
grep -q 'restored from the cut-off run' "$work/passing.out" ||
    fail "run-tests.cmd did not say that it restored a cut-off run"
for suite in core_tests wine_registry_tests win32_tests e2e_tests; do
    [ -s "$kit/results/$suite.xml" ] || fail "no XML results for $suite"
    grep -q '<testsuites tests="[1-9]' "$kit/results/$suite.xml" ||
        fail "the XML results for $suite count no test"
done
[ ! -e "$state_folder" ] || fail "the snapshot folder is left behind after a restored run"
[ ! -e "$kit/work" ] || fail "the kit's work folder is left behind"
snapshot_state passing
expect_state_as_before passing

# A tool that exits at once: suites fail, and everything is put back all the same. A new
# Wine session first, as after a restart: seen here, a second run in the same session could
# not clear the first run's results (a sharing violation on a suite's log).
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
cp "$empty_program" "$kit/Marblefinch_associate.exe"
run_kit failing
[ "$status" -eq 1 ] || fail "run-tests.cmd exited with $status, expected 1 (a suite failed)"
grep -q 'FAILED  e2e_tests' "$work/failing.out" || fail "the failing suite was not named"
snapshot_state failing
expect_state_as_before failing
[ ! -e "$state_folder" ] || fail "the snapshot folder is left behind after a restored run"

echo "kit-check: passed (a passing run, a cut-off run put right, a failing run; the classes" \
    "view and Program Files as before each time)"
