#!/usr/bin/env bash
# Runs the test kit as a stranger would on Windows: unpacked into a folder whose name has
# spaces and characters outside ASCII, in a new 64-bit prefix of its own seeded as Windows
# ships, started through Wine's cmd with nothing from this side in the environment beyond
# what Wine itself needs. In turn:
#   a run killed during a suite with code 1, which leaves its snapshot and no suite behind, and
#   a guard that ends with 0 and leaves it: both reported as cut off; and a guard that cannot
#   be started, which must be named as such;
#   a start from a kit that others may change, and one with a suite limit out of range, which
#   must be refused;
#   a plain start, which must refuse, list what differs and change nothing;
#   a start with /restore, which must put the snapshot back and stop, and a run after it,
#   which must pass;
#   a run stopped with Ctrl+C (SIGINT, which Wine hands to the console handler), while a
#   second start and the guard's own save and restore are refused and the user's choice for a
#   type changes;
#   a run whose tool exits at once, which must fail and tell the shell once after restoring;
#   a run whose suites run no test, which must pass none of them, and one whose suites hang
#   past the limit it gives and whose snapshot is deleted meanwhile, which must say both.
# After every run that ends, both halves of the classes view must be byte for byte what they
# were, and nothing new may be left under Program Files.
# Usage: kit-check.sh KIT_ZIP EMPTY_PROGRAM WORK_FOLDER END_TASK_PROGRAM
set -Eeuo pipefail
# Wine programs start with the address layout fixed, where the host allows it (host.sh).
source "$(dirname "$0")/host.sh"
mf_fixed_layout "$0" "$@"
kit_zip=$(realpath "$1")
empty_program=$(realpath "$2")
work=$3
end_task=$(realpath "$4")
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
    echo "kit-check: FAIL: $*" >&2
    exit 1
}
# Whatever else fails says where and what.
trap 'status=$?; fail "line $LINENO: \"$BASH_COMMAND\" exited with $status"' ERR

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
prefix=$work/wineprefix
cleanup() {
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
bash "$root/scripts/wine-prefix.sh" "$prefix" win64 >"$work/prefix.log" 2>&1 ||
    fail "could not make the prefix: $(tail -n 5 "$work/prefix.log")"

wine=/usr/lib/wine/wine64
# Only what Wine needs: where the prefix is, a display, a locale for file names, a home
# and a path for its own helpers; nothing of the build.
run_wine() {
    env -i HOME="$HOME" PATH=/usr/bin:/bin LANG=C.UTF-8 DISPLAY="$DISPLAY" \
        WINEPREFIX="$prefix" WINEDEBUG="${kit_debug:--all}" WINEDLLOVERRIDES="mscoree,mshtml=" \
        ${kit_filter:+GTEST_FILTER="$kit_filter"} ${kit_repeat:+GTEST_REPEAT="$kit_repeat" GTEST_BRIEF=1} \
        ${kit_hold:+MF_KIT_HOLD='C:\kit-hold'} \
        "$wine" "$@"
}
# A Wine command whose output matters only when it fails: then it is shown, with what failed.
# Its output is read through a pipe, which the session's server holds open until it has ended,
# so the next Wine program meets no server shutting down: keep it a pipe, not a file.
wine_step() {  # what, then the command
    local what=$1 output status=0
    shift
    output=$(run_wine "$@" 2>&1) || status=$?
    if [ "$status" -ne 0 ]; then
        printf '%s\n' "$output" | tr -d '\r' | tail -n 20 >&2
        fail "$what (exit code $status)"
    fi
}
reg() {
    wine_step "reg $*" reg "$@"
}
# Ends the Wine session: a restart, as far as the prefix knows.
new_session() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
}

# As Windows ships it: a folder class with verbs (the prefix script seeds two), a foreign
# .mp3 with a Content Type and PerceivedType (assumed: A26, docs/assumptions.md), a type the
# user registered for themselves, and a default app the user chose for .mp3, in both keys that
# may hold it (assumed: A6): the kit reads UserChoiceLatest\ProgId first, so its ProgID is the
# one the kit must name.
reg add 'HKLM\Software\Classes\.mp3' /ve /d 'OtherApp.Mp3File' /f
reg add 'HKLM\Software\Classes\.mp3' /v 'Content Type' /d 'audio/mpeg' /f
reg add 'HKLM\Software\Classes\.mp3' /v PerceivedType /d audio /f
reg add 'HKLM\Software\Classes\.mp3\OpenWithProgids' /v OtherApp.Mp3File /t REG_NONE /f
reg add 'HKLM\Software\Classes\OtherApp.Mp3File\shell\open\command' /ve \
    /d '"C:\Program Files\Other\other.exe" "%1"' /f
reg add 'HKCU\Software\Classes\.ogg' /ve /d 'UserPlayer.ogg' /f
reg add 'HKCU\Software\Classes\.ogg\OpenWithProgids' /v UserPlayer.ogg /t REG_NONE /f
choice_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts\.mp3\UserChoice'
reg add "$choice_key" /v ProgId /d OtherApp.Mp3File /f
reg add "${choice_key}Latest\ProgId" /v ProgId /d Latest.Mp3File /f

folder_name="Kit Prüfung 测试"
kit=$prefix/drive_c/$folder_name
kit_windows="C:\\$folder_name"
mkdir -p "$kit"
(cd "$kit" && python3 -m zipfile -e "$kit_zip" .) || fail "could not unpack $kit_zip"
[ -f "$kit/run-tests.cmd" ] || fail "no run-tests.cmd at the kit's top"
state_folder="$prefix/drive_c/ProgramData/Marblefinch_associate test kit"
hold=$prefix/drive_c/kit-hold  # made by a held end-to-end suite (kit_hold=1)

# The state to come back to: both halves exported by Wine's own reg.exe, and dumped whole
# with each key's security by the kit's guard (beyond the keys it guards, which its plain dump
# reads); the files under Program Files.
snapshot_state() {  # name
    wine_step "exporting HKLM\\Software\\Classes ($1)" \
        reg export 'HKLM\Software\Classes' "C:\\state-$1-machine.reg" /y
    wine_step "exporting HKCU\\Software\\Classes ($1)" \
        reg export 'HKCU\Software\Classes' "C:\\state-$1-user.reg" /y
    wine_step "the guard's dump ($1)" "$kit_windows\\tests\\kit_guard.exe" dump /all "C:\\state-$1-guard.txt"
    (cd "$prefix/drive_c" && find "Program Files" "Program Files (x86)" | sort) \
        >"$prefix/drive_c/state-$1-files.txt"
}
as_text() {  # file: reg.exe exports UTF-16, the rest is UTF-8 already
    if [[ $1 == *.reg ]]; then iconv -f UTF-16 -t UTF-8 "$1"; else cat "$1"; fi
}
expect_same_state() {  # earlier later: takes the later state, and requires it the same
    local part
    snapshot_state "$2"
    for part in machine.reg user.reg guard.txt files.txt; do
        if ! cmp -s "$prefix/drive_c/state-$1-$part" "$prefix/drive_c/state-$2-$part"; then
            diff <(as_text "$prefix/drive_c/state-$1-$part") \
                <(as_text "$prefix/drive_c/state-$2-$part") | head -n 20 >&2 || true
            fail "$part differs between the states $1 and $2"
        fi
    done
}
expect_state_as_before() {  # name
    expect_same_state before "$1"
    [ ! -e "$state_folder" ] || fail "the kit's state folder is left behind after the $1 run"
    [ ! -e "$kit/work" ] || fail "the kit's work folder is left behind after the $1 run"
}
# What the guard's probe sees: one well-formed line for each row it names and nothing else;
# nothing it made left; Wine's known differences said; the rows this prefix is made to match
# found to hold.
probe=$(run_wine "$kit_windows\\tests\\kit_guard.exe" probe 2>&1 | tr -d '\r') ||
    fail "kit_guard probe exited with $?: $probe"
rows=$(printf '%s\n' "$probe" | sed -n '1s/^rows: //p')
[ -n "$rows" ] || fail "kit_guard probe named no rows: $probe"
for row in $rows; do
    count=$(printf '%s\n' "$probe" |
        grep -cE "^$row \| [^|]+ \| (holds|does not hold|could not look: [^|]+)( \| Wine: [^|]+)?$" || true)
    [ "$count" -eq 1 ] || fail "kit_guard probe gave $count well-formed lines for $row: $probe"
done
[ "$(printf '%s\n' "$probe" | grep -c .)" -eq "$(($(wc -w <<<"$rows") + 1))" ] ||
    fail "kit_guard probe said more than a line per row: $probe"
! grep -q 'left behind' <<<"$probe" || fail "kit_guard probe left what it made: $probe"
left=$(find "$prefix/drive_c" -maxdepth 5 -name 'kit_guard probe*'; run_wine reg query 'HKCU\Software' |
    grep 'kit_guard probe' || :)
[ -z "$left" ] || fail "kit_guard probe left, unsaid: $left"
for expected in 'A12 .*\| Wine: ' 'A15 .*\| Wine: ' 'A17 .*\| Wine: ' 'A21 .* \| holds$' \
    'A26 \| Content Type audio/mpeg; PerceivedType audio \| holds$'; do
    grep -qE "^$expected" <<<"$probe" || fail "kit_guard probe: no line like '$expected': $probe"
done
snapshot_state before
grep -q 'OtherApp.Mp3File' "$prefix/drive_c/state-before-guard.txt" ||
    fail "the guard's dump does not show the seeded .mp3"

# run-tests.cmd through Wine's cmd, in the background; kit_done waits for it.
start_kit() {  # name [argument]
    kit_name=$1
    shift
    # The waits below look for what this run makes, not what the one before made.
    rm -rf "$kit/results" "$hold"
    kit_started=$(date +%s)
    (trap - ERR && cd "$prefix/drive_c" && run_wine cmd /c "$kit_windows\\run-tests.cmd" "$@") \
        >"$work/$kit_name.out" 2>&1 &
    kit_job=$!
}
kit_done() {  # leaves the exit code in $status and prints the output
    status=0
    wait "$kit_job" || status=$?
    # Its Wine server shuts down now, and a program started meanwhile can be cut off ("wine
    # client error:0: recvmsg: Connection reset by peer"): the session ends first.
    timeout 300 env WINEPREFIX="$prefix" wineserver -w ||
        fail "Wine programs of the $kit_name run were still running 300 s after it ended"
    # Wine's relay lines, where asked for, are read below, not shown.
    tr -d '\r' <"$work/$kit_name.out" | grep -av '^[0-9a-f]\{4\}:' | sed "s/^/  [$kit_name] /" || true
    echo "kit-check: the $kit_name run took $(($(date +%s) - kit_started)) s, exit code $status"
}
# KEY names the situation's row in docs/windows-kit.md's table of exit codes, whose code
# scripts/check-kit-page.py holds equal to CODE.
expect_status() {  # code key why
    [ "$status" -eq "$1" ] || fail "run-tests.cmd exited with $status in the $kit_name run, expected $1 ($2: $3)"
}
expect_said() {  # text
    grep -qF -- "$1" "$work/$kit_name.out" || fail "the $kit_name run did not say \"$1\""
}
wait_for() {  # seconds what file
    local deadline=$(($(date +%s) + $1))
    until [ -e "$3" ]; do
        kill -0 "$kit_job" 2>/dev/null || [ -e "$3" ] || fail "no $2: the $kit_name run ended first"
        [ "$(date +%s)" -lt "$deadline" ] || fail "no $2 within $1 s"
        sleep 0.2
    done
}
# The processes of this prefix whose command line matches, and no other check's.
prefix_pids() {  # pattern
    local pid
    for pid in $(pgrep -f "$1" || true); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
            echo "$pid"
        fi
    done
}
guard_pids() {
    prefix_pids 'tests.kit_guard\.exe.? run'
}

# 1. A run ended in the end-to-end suite (held before its first test, so certainly running) as
# taskkill /f ends it on Windows: with code 1 (assumed: A22), which Wine's taskkill does not
# give. The suite goes with it (it runs in a job that ends with the guard); the snapshot stays.
kit_hold=1 start_kit killed
wait_for 600 "end-to-end suite holding" "$hold"
suite_pattern='tests.e2e_tests\.exe'
[ -n "$(prefix_pids "$suite_pattern")" ] || fail "the end-to-end suite is not running"
[ -n "$(guard_pids)" ] || fail "no kit_guard process to end"
wine_step "ending kit_guard.exe as the task manager does" "$end_task" kit_guard.exe
for _ in $(seq 300); do
    [ -n "$(prefix_pids "$suite_pattern")" ] || break
    sleep 0.2
done
[ -z "$(prefix_pids "$suite_pattern")" ] || fail "a suite outlived the guard that ran it"
kit_done
expect_status 3 cut-off "ended from outside, so the machine was not put back"
expect_said "was ended before it could put the machine back"
[ -f "$state_folder/snapshot.txt" ] || fail "the killed run left no snapshot"
# The same for a guard ended with 0 (as Wine's own taskkill leaves it): a stand-in that exits 0
# at once, with the snapshot still there.
cp "$kit/tests/kit_guard.exe" "$work/kit_guard.exe"
cp "$empty_program" "$kit/tests/kit_guard.exe"
start_kit ended-with-0
kit_done
expect_status 3 cut-off "a guard that ended with 0 and left its snapshot"
expect_said "was ended before it could put the machine back"
# A guard that cannot be started (a folder in its place): said in one line after cmd's own.
# Wine's cmd gives 9009 for it; what Windows' cmd gives is not checked here (A21).
rm "$kit/tests/kit_guard.exe"
mkdir "$kit/tests/kit_guard.exe"
start_kit unstartable
kit_done
rmdir "$kit/tests/kit_guard.exe"
cp "$work/kit_guard.exe" "$kit/tests/kit_guard.exe"
expect_status 3 not-started "a guard that could not be started"
expect_said "Windows could not start tests\\kit_guard.exe: error 9009; what was printed above may tell."
lines=$(grep -c . "$work/unstartable.out" || true)
[ "$lines" -eq 2 ] || fail "the unstartable run said $lines lines, expected 2: $(tr -d '\r' <"$work/unstartable.out")"
# Changed since: what the suites would have left, and a verb installed after the cut-off.
reg add 'HKLM\Software\Classes\.mp3' /ve /d 'Marblefinch.mp3' /f
reg add 'HKLM\Software\Classes\.mp3' /v PerceivedType /d video /f
reg add 'HKLM\Software\Classes\Marblefinch.wav\Shell\Open\Command' /ve /d 'left over' /f
reg add 'HKLM\Software\Classes\Directory\shell\AddedLater\command' /ve /d 'later.exe "%1"' /f
# The probe's verdict follows the machine: A26 no longer holds.
probe=$(run_wine "$kit_windows\\tests\\kit_guard.exe" probe 2>&1 | tr -d '\r')
grep -qE '^A26 \| .*PerceivedType video \| does not hold$' <<<"$probe" ||
    fail "kit_guard probe did not find A26 failing with a PerceivedType of video: $probe"

# 2. A plain start: it refuses, says what differs, and changes nothing. Before it, a start
# from a kit whose programs anyone may change (as from a folder users write) is refused.
new_session
snapshot_state refusing-before
chmod o+w "$kit/tests/e2e_tests.exe"
start_kit open
kit_done
chmod o-w "$kit/tests/e2e_tests.exe"
expect_status 3 open-kit "a kit that others may change"
expect_said "tests\\e2e_tests.exe: lets S-1-1-0 write it"
# A limit out of range is a wrong argument: nothing is read or changed.
start_kit limitless /limit:86401
kit_done
expect_status 2 arguments "a suite limit above a day"
start_kit refusing
kit_done
expect_status 5 leftover "a cut-off run's snapshot is there"
for text in "left the snapshot" "saved on" ".mp3" "Marblefinch.wav" "AddedLater" "/restore"; do
    expect_said "$text"
done
expect_same_state refusing-before refusing-after

# 3. /restore: the snapshot is put back (the verb installed since goes with it), and no suite
# runs. A plain start then runs them, and they pass; the .mp3 that the user chose an app for
# is skipped with the reason.
# A cut between a suite's report and its copy to results\ leaves the report's draft beside the
# snapshot: the restore removes it, and the folder with it.
printf '<testsuites/>\n' >"$state_folder/e2e_tests.xml"
start_kit restoring /restore
kit_done
expect_status 0 restored "restored"
expect_said "restored from the cut-off run's snapshot"
[ ! -e "$kit/results" ] || fail "the /restore run ran suites"
# The cut-off run's work folder stays for the next run to clear.
expect_same_state before restoring
[ ! -e "$state_folder" ] || fail "the kit's state folder is left behind after the restoring run"
start_kit passing
kit_done
expect_status 0 passed "every suite passed"
for suite in core_tests wine_registry_tests win32_tests e2e_tests; do
    [ -s "$kit/results/$suite.xml" ] || fail "no XML results for $suite"
    grep -q 'result="completed"' "$kit/results/$suite.xml" ||
        fail "the XML results for $suite show no test that ran"
done
grep -qF "the user's choice for .mp3 is Latest.Mp3File" "$kit/results/e2e_tests.log" ||
    fail "the shell checks through .mp3 were not skipped for the user's choice"
expect_state_as_before passing

# 4. Ctrl+C in the held end-to-end suite: the run stops and restores. Meanwhile a second start is
# refused, and the user's choice for .mp3 changes (as when Windows resets one), which the
# run must report.
new_session
kit_hold=1 start_kit stopped
wait_for 600 "end-to-end suite holding" "$hold"
second=0
(trap - ERR && cd "$prefix/drive_c" && run_wine cmd /c "$kit_windows\\run-tests.cmd") \
    >"$work/second.out" 2>&1 || second=$?
status=$second expect_status 4 busy "a second start during a run: $(tr -d '\r' <"$work/second.out")"
grep -q "another run is under way" "$work/second.out" || fail "the second start did not say why"
# The guard's own restore and save take the run's lock as well.
for command in "restore snapshot.txt" "save new-snapshot.txt"; do
    second=0
    run_wine "$kit_windows\\tests\\kit_guard.exe" "${command% *}" \
        "C:\\ProgramData\\Marblefinch_associate test kit\\${command#* }" >"$work/second.out" 2>&1 ||
        second=$?
    [ "$second" -eq 4 ] || fail "kit_guard $command during a run exited with $second," \
        "expected 4; it said: $(tr -d '\r' <"$work/second.out")"
done
[ -f "$state_folder/snapshot.txt" ] || fail "a kit_guard restore during the run took its snapshot"
reg add "${choice_key}Latest\ProgId" /v ProgId /d Reset.Mp3File /f
pids=$(guard_pids)
[ -n "$pids" ] || fail "no kit_guard process to stop"
kill -INT $pids
kit_done
expect_status 1 stopped "stopped"
expect_said "stopped: the suites left were not run"
expect_said 'for .mp3 changed during the run, from "Latest.Mp3File" to "Reset.Mp3File"'
reg add "${choice_key}Latest\ProgId" /v ProgId /d Latest.Mp3File /f
expect_state_as_before stopped

# 5. A tool that exits at once: suites fail, everything is put back all the same, and the
# shell is told once, after the restore. Wine's relay channel shows the calls; the guard's
# are those after its total, when no suite runs any more.
new_session
reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'shell32.SHChangeNotify' /f
cp "$empty_program" "$kit/Marblefinch_associate.exe"
kit_debug=+relay start_kit failing
kit_done
reg delete 'HKCU\Software\Wine\Debug' /v RelayInclude /f
expect_status 1 failed "a suite failed"
expect_said "FAILED  e2e_tests"
notices=$(tr -d '\r' <"$work/failing.out" | sed -n '/passed, [0-9]* failed$/,$p' |
    grep -cE 'Call shell32\.SHChangeNotify\(0*8000000,0+,0+,0+\)' || true)
[ "$notices" -eq 1 ] ||
    fail "the guard sent $notices association-changed notices after restoring, expected 1"
expect_state_as_before failing

# 6. Suites that run no test (a filter that matches none) pass nothing, and a run filtered
# at all is not a full run.
new_session
kit_filter=NoSuchTest start_kit empty
kit_done
expect_status 1 filtered "no suite ran a test, filtered"
expect_said "0 passed, 4 failed"
expect_said "FAILED  core_tests: no test ran"
expect_said "not a full run: with GTEST_FILTER in the environment"
expect_state_as_before empty
# The same, its snapshot deleted while the suites run: the run must say so, not "kept".
# Every suite hangs here (repeats for ever) and must be ended at the limit given, and named.
# Deleted once the first suite's log is there: after the save, and long before the restore.
# Not sooner: Wine reports a save that succeeded as failed if the file goes at once (row 19,
# docs/wine-divergences.md).
kit_filter=NoSuchTest kit_repeat=-1 start_kit gone /limit:2
wait_for 600 "log of the first suite" "$kit/results/core_tests.log"
rm "$state_folder/snapshot.txt" ||
    fail "no snapshot to delete once the gone run's first suite ran"
kit_done
for suite in core_tests wine_registry_tests win32_tests e2e_tests; do
    expect_said "FAILED  $suite: did not finish within 2 seconds and was ended"
done
expect_status 3 snapshot-gone "the snapshot was gone when the run restored"
expect_said "snapshot.txt is gone: something deleted it during the run"
expect_same_state before gone

echo "kit-check: passed (a run ended from outside, a guard that cannot start," \
    "a kit others may change, a limit out of range," \
    "a refusing start," \
    "/restore and a run after it, a stopped run with a second start refused, a failing run," \
    "suites that ran no test, hung suites ended at the limit and a snapshot deleted meanwhile;" \
    "the classes view and Program Files" \
    "as before each time)"
