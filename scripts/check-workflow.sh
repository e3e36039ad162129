#!/usr/bin/env bash
# Nothing here can run the CI workflow, so this holds it to what can be checked: every workflow
# file is valid against the published workflow schema (a pinned validator), and every name the
# workflow and scripts/windows-ci.ps1 use is one the build makes: the zips, the kit's files,
# its results folder and exit codes, the list of types.
# Usage: check-workflow.sh RELEASE_ZIP KIT_ZIP...   (the zips as the build made them)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
workflow=${MF_CHECK_WORKFLOW:-$root/.github/workflows/ci.yml}  # another copy, to show a fault it finds
script=$root/scripts/windows-ci.ps1
checker=$root/scripts/workflow-check
fail() {
    echo "check-workflow: FAIL: $*" >&2
    exit 1
}
[ $# -ge 2 ] || fail "usage: check-workflow.sh RELEASE_ZIP KIT_ZIP..."
release=$(realpath --relative-to="$root" "$1")
shift
kits=()
for zip in "$@"; do kits+=("$(realpath --relative-to="$root" "$zip")"); done

# The validator, at the version package-lock.json pins, from the npm registry (npm comes from
# scripts/setup.sh).
validator=$checker/node_modules/.bin/action-validator
if [ ! -x "$validator" ] || [ "$checker/package-lock.json" -nt "$validator" ]; then
    (cd "$checker" && npm ci --no-audit --no-fund --loglevel=error)
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for file in "$root"/.github/workflows/*.yml "$root"/.github/workflows/*.yaml; do
    [ -e "$file" ] || continue
    # The validator resolves path globs from the working folder: the repository's top.
    (cd "$root" && "$validator" "${file#"$root"/}") >"$out" 2>&1 ||
        fail "${file#"$root"/} is not a valid workflow: $(cat "$out")"
done

# Names: the version as test.sh reads it, the workflow's expressions filled in per kit.
cache=$(dirname "$root/$release")/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
[ -n "$version" ] || fail "no CMAKE_PROJECT_VERSION in $cache"
# The Debian job's container lets test.sh turn off address randomization for Wine (host.sh).
grep -qx '      options: --security-opt seccomp=unconfined' "$workflow" ||
    fail "the Debian job's container keeps Docker's default seccomp profile, which refuses setarch -R"
grep -qF "sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt" "$workflow" ||
    fail "the workflow does not read the version as scripts/test.sh does"
matrix_kits=$(sed -n 's/^ *kit: \[\(.*\)\]$/\1/p' "$workflow" | tr -d ' ' | tr ',' ' ')
[ -n "$matrix_kits" ] || fail "no kit matrix in the workflow"
expand() {  # kit: the workflow as the matrix leg of that kit reads it
    sed -e "s/\${{ *\(steps\.names\|needs\.linux\)\.outputs\.version *}}/$version/g" \
        -e "s/\(needs\.linux\.outputs\)\[format('\([^'{]*\){0}\([^']*\)', matrix\.kit)\]/\1.\2$1\3/g" \
        -e "s/\${{ *matrix\.kit *}}/$1/g" "$workflow"
}
expanded=$(for kit in $matrix_kits; do expand "$kit"; done)
names=$(grep -o "[^ \"'=]*Marblefinch_associate-[^ \"']*" <<<"$expanded" | sed 's/\.sha256$//' | sort -u)
made() {  # name: a zip given, by its path under build/ or else by its file name
    local given kit
    for given in "$release" "${kits[@]}"; do
        if [[ $1 == build/* ]]; then
            [ "$1" != "$given" ] || return 0
        elif [ "$(basename "$1")" = "$(basename "$given")" ]; then
            return 0
        fi
    done
    # A kit this host did not build: named as tests/wine.cmake names it, in a preset's folder.
    kit=${1%-tests.zip}
    kit=${kit##*-}
    [ "$(basename "$1")" = "Marblefinch_associate-$version-$kit-tests.zip" ] &&
        grep -qF "set(MF_KIT_NAME Marblefinch_associate-\${PROJECT_VERSION}-$kit-tests)" "$root/tests/wine.cmake" ||
        return 1
    [[ $1 != build/* ]] || grep -qF "\"binaryDir\": \"\${sourceDir}/$(dirname "$1")\"" "$root/CMakePresets.json" ||
        return 1
    echo "check-workflow: $1 is not built on this host; its name is the one tests/wine.cmake gives"
}
for name in $names; do
    made "$name" || fail "the workflow names $name, which the build does not make (made: $release ${kits[*]})"
done
for given in "$release" "${kits[@]}"; do
    grep -qxF "$given" <<<"$names" || fail "the workflow never names $given"
done
# A re-run of the Debian job leaves two artifacts of each name (A34, docs/assumptions.md), so
# every download names the id of the upload that made it: its artifact-ids is the Debian job's
# output NAME-id, which is the artifact-id of the upload step whose artifact is NAME, and whose
# files the job reads there.
steps() {  # the upload steps (U id name files...), the downloads (D ids path), the job outputs (O name step)
    awk 'function flush() { if (kind) print kind, (kind == "U" ? (id ? id : "-") " " name : (ids ? ids : "-") " " path), files; kind = ""; with = list = 0 }
        /^  [a-z0-9_-]+:$/ {flush(); job = $1} /^ *- / {flush(); id = name = ids = path = files = ""}
        job == "linux:" && /^      [a-z0-9-]+: \$\{\{ steps\.[a-z0-9-]+\.outputs\.artifact-id \}\}$/ {
            sub(/:$/, "", $1); sub(/^steps\./, "", $3); sub(/\.outputs.*/, "", $3); print "O", $1, $3 }
        list && !/^            / {list = 0} list {n = split($1, part, "/"); files = files " " part[n]}
        /^ *(- )?id: / {id = $NF} /uses: actions\/upload-artifact@/ {kind = "U"} /uses: actions\/download-artifact@/ {kind = "D"}
        /^ +with:$/ {with = 1} with && /^ +name: / {name = $2} with && /^ +artifact-ids: / {sub(/^ +artifact-ids: /, ""); gsub(/ /, ""); ids = $0}
        with && /^ +path: \|$/ {list = 1; next} with && /^ +path: / {path = $2; n = split($2, part, "/"); files = part[n]}
        END {flush()}'
}
for kit in $matrix_kits; do
    leg=$(expand "$kit") found=$(steps <<<"$leg")
    # A download the parse above misses (a quoted uses:, say) would go untraced.
    parsed=$(grep -c '^D ' <<<"$found" || :) written=$(grep -cE "uses: *[\"']?actions/download-artifact@" <<<"$leg" || :)
    [ "$parsed" -gt 0 ] && [ "$parsed" -eq "$written" ] || fail "of the workflow's $written downloads, $parsed are traced: write each as uses: actions/download-artifact@VERSION, unquoted"
    while read -r _ ids dir _; do
        output=$(sed -n 's/^\${{needs\.linux\.outputs\.\([a-z0-9-]*\)}}$/\1/p' <<<"$ids")
        [ "$ids" != - ] || fail "the download into $dir names no artifact-ids: after a re-run of the Debian job it may get an earlier attempt's artifact"
        [ -n "$output" ] || fail "the download into $dir names \"$ids\", not one upload's id from the Debian job's outputs"
        step=$(awk -v o="$output" '$1 == "O" && $2 == o {print $3}' <<<"$found")
        [ -n "$step" ] || fail "the Debian job gives no output $output as an upload's artifact-id (for the download into $dir)"
        read -r _ _ name made < <(awk -v s="$step" '$1 == "U" && $2 == s' <<<"$found") ||
            fail "the Debian job's output $output names step $step, which is not an upload"
        [[ $name == *-attempt-\$\{\{ ]] || fail "the upload of $name is not named per attempt: a download by id keeps the higher id of a name"
        [ "${name%-attempt-\$\{\{}-id" = "$output" ] || fail "the download into $dir reads $output, the id of the upload of $name"
        for file in $(grep -o "[\"' ]$dir/[^\"' ]*" <<<"$leg" | sed "s|.*$dir/||" | sort -u); do
            grep -qw -- "$file" <<<"$made" || fail "the download into $dir gets $name ($made), without the $file read from it"
        done
    done < <(grep '^D ' <<<"$found")
done
# Each download lands in a folder that the job then reads: a name in it, or its working folder.
while read -r dir; do
    grep -qE "[\"' ]$dir/|working-directory: $dir\$" "$workflow" ||
        fail "the workflow downloads into $dir, which no later step reads"
done < <(awk '/^ *- /{on = 0} /uses: actions\/download-artifact@/ {on = 1}
    on && /^ +path: /{print $2; on = 0}' "$workflow")

# The kit's own names, as the script reads them.
value() { sed -n "s/^\\\$$1 = '\\{0,1\\}\\([^' ]*\\)'\\{0,1\\}\$/\\1/p" "$script"; }
run_tests=$(value RunTests) guard=$(value Guard) results=$(value Results)
suites=$(sed -n "s/^\$Suites = @(\(.*\))\$/\1/p" "$script" | tr -d "' " | tr ',' ' ')
state_folder=$(sed -n "s/^\$StateFolder = '\([^']*\)'\$/\1/p" "$script")
# An empty one would match anything below.
for name in RunTests Guard Results ExitCutOff ExitLeftover SuiteLimitSeconds CleanupWaitSeconds RestoreLimitSeconds; do
    [ -n "$(value "$name")" ] || fail "windows-ci.ps1 sets no \$$name"
done
[ -n "$suites" ] && [ -n "$state_folder" ] || fail "windows-ci.ps1 sets no \$Suites or no \$StateFolder"
# The suites as the guard runs them, in its order.
guard_suites=$(sed -n '/kSuites\[\] = /,/};/p' "$root/tests/kit/run.cpp" | grep -o 'L"[a-z0-9_]*"' | tr -d 'L"' | xargs)
[ "$suites" = "$guard_suites" ] || fail "windows-ci.ps1 waits for the suites $suites, the guard runs $guard_suites"
for kit in "${kits[@]}"; do
    listing=$(python3 -m zipfile -l "$root/$kit" | awk 'NR > 1 {print $1}')
    for entry in "$run_tests" "${guard//\\//}" $(printf 'tests/%s.exe ' $suites); do
        grep -qxF "$entry" <<<"$listing" || fail "$kit has no $entry, which windows-ci.ps1 runs"
    done
done
grep -qF "L\"\\\\$results\"" "$root/tests/kit/run.cpp" || fail "the kit writes no $results folder"
grep -qF "L\"\\\\$state_folder\"" "$root/tests/kit/run.cpp" && grep -qF 'L"\\snapshot.txt"' "$root/tests/kit/run.cpp" ||
    fail "the kit keeps its snapshot elsewhere than $state_folder\\snapshot.txt"
# The limits nest: the suites' (each with up to half a minute to end), the cut-off run's two
# waits, the probes, the cleanup after a failed cut and its /restore, and ten minutes for the
# kit's set-up, records and restore, with five minutes to spare, in the step's, and that (with a
# quarter of an hour for the checkout, the download and the upload) in the job's.
minutes() {  # indent: the windows job's timeout-minutes at that indent
    awk -v indent="$1" '/^  [a-z]+:$/ {on = $1 == "windows:"} on && $0 ~ "^" indent "timeout-minutes:" {print $2}' "$workflow"
}
step=$(minutes '        ') job=$(minutes '    ') count=$(wc -w <<<"$suites") limit=$(value SuiteLimitSeconds)
[ -n "$step" ] && [ -n "$job" ] || fail "the Windows job or its kit step has no timeout-minutes"
# Each wait of the cut is the suites' limit and more: it must outlast a core_tests that runs to it.
beyond=$(sed -n 's/^\$CutWaitSeconds = \$SuiteLimitSeconds + \([0-9]*\)$/\1/p' "$script")
[ "${beyond:-0}" -ge 30 ] || fail "windows-ci.ps1's \$CutWaitSeconds is not \$SuiteLimitSeconds and half a minute or more"
cut=$((limit + beyond))
# The probes come first, within the wait that bounds them, which outlasts the guard's own limit
# and a child's ending after it; then a bounded wait for the killed guard to be gone.
probe=$(value ProbeLimitSeconds) killed_ms=$(sed -n 's/.*\$probe\.Kill(\$true); \$null = \$probe\.WaitForExit(\([0-9]*\)).*/\1/p' "$script")
limit_ms() { sed -n "s/^constexpr [A-Z]* k$1LimitMs = \([0-9]*\);\$/\1/p" "$root/tests/kit/probe.cpp"; }
probe_ms=$(limit_ms Command) child_ms=$(limit_ms Child)
[ -n "$probe" ] && [ -n "$probe_ms" ] && [ -n "$child_ms" ] && [ -n "$killed_ms" ] && [ $((probe_ms + child_ms)) -lt $((probe * 1000)) ] &&
    grep -qF 'WaitForExit($ProbeLimitSeconds * 1000)' "$script" ||
    fail "windows-ci.ps1 does not wait \$ProbeLimitSeconds for kit_guard probe beyond the guard's ${probe_ms:-?} ms and a child's ${child_ms:-?} ms, or not for the killed guard"
probe_at=$(grep -n "ArgumentList 'probe'" "$script" | head -n 1 | cut -d: -f1) owner_at=$(grep -n '^& icacls.exe .* /setowner' "$script" | head -n 1 | cut -d: -f1)
[ -n "$probe_at" ] && [ "$probe_at" -lt "${owner_at:-0}" ] || fail "windows-ci.ps1 does not probe before icacls /setowner"
# The cleanup's waits share one deadline; its /restore has its own.
grep -qF '$until = (Get-Date).AddSeconds($CleanupWaitSeconds)' "$script" && grep -qF 'WaitForExit($RestoreLimitSeconds * 1000)' "$script" &&
    grep -qF '$_.WaitForExit([int][Math]::Max(0, ($until - (Get-Date)).TotalMilliseconds))' "$script" ||
    fail "windows-ci.ps1's cleanup is not bounded by \$CleanupWaitSeconds and \$RestoreLimitSeconds"
cleanup=$(($(value CleanupWaitSeconds) + $(value RestoreLimitSeconds)))
total=$((count * (limit + 30) + 2 * cut + 600 + probe + (killed_ms + 999) / 1000 + cleanup))
if [ $((total + 300)) -gt $((step * 60)) ] || [ $((step + 15)) -gt "$job" ]; then
    fail "the limits do not nest: $count suites of $limit s each, two cut waits of $cut s, a probe of $probe s and $(((killed_ms + 999) / 1000)) s, a cleanup of $cleanup s: $total s and five minutes do not fit in a step of $step minutes, or that and a quarter of an hour in a job of $job"
fi
grep -qF "Invoke-Kit 'full' \"/limit:\$SuiteLimitSeconds\"" "$script" &&
    grep -qF "call \$RunTests /limit:\$SuiteLimitSeconds\`\"" "$script" ||
    fail "windows-ci.ps1's full or cut-off run does not give the guard /limit:\$SuiteLimitSeconds"
# Names are the attempt's own (A34), and overwrite keeps an upload from failing on a name the run
# holds all the same (https://github.com/actions/upload-artifact/issues/478).
uploads=$(grep -c "uses: actions/upload-artifact@" "$workflow")
replacing=$(awk '/^ *- /{on = 0} /uses: actions\/upload-artifact@/ {on = 1} on && /^ +overwrite: true$/ {n++; on = 0}
    END {print n + 0}' "$workflow")
[ "$uploads" -gt 0 ] && [ "$uploads" -eq "$replacing" ] || fail "$((uploads - replacing)) of the workflow's $uploads uploads do not set overwrite: true"
# A re-run of failed jobs only: every download must find the run's artifacts, whichever attempt
# made them, so each names the run and a token, and every job that sets its own permissions
# keeps actions: read.
downloads=$(grep -c "uses: actions/download-artifact@" "$workflow")
by_run=$(awk '/^ *- /{on = 0; n += token && run; token = run = 0} /uses: actions\/download-artifact@/ {on = 1}
    on && /^ +github-token: \$\{\{ github\.token \}\}$/ {token = 1} on && /^ +run-id: \$\{\{ github\.run_id \}\}$/ {run = 1}
    END {print n + (token && run)}' "$workflow")
[ "$downloads" -gt 0 ] && [ "$downloads" -eq "$by_run" ] || fail "$((downloads - by_run)) of the workflow's $downloads downloads do not give github-token and run-id"
if ! awk 'function end() {bad += on && !read; on = 0}
    /^ *permissions:$/ {end(); on = 1; read = 0; indent = match($0, /[^ ]/); next}
    on && match($0, /[^ ]/) <= indent {end()} on && /^ +actions: (read|write)$/ {read = 1}
    END {end(); exit bad > 0}' "$workflow"; then
    fail "a permissions block of the workflow lacks actions: read, which the downloads need"
fi
if ! grep -qF "kSaveOrRestoreFailed = $(value ExitCutOff);" "$root/tests/kit/run.h" ||
    ! tr -d '\r' <"$root/tests/kit/run-tests.cmd" | sed -n '/^:cut_off/,/^exit/p' |
    grep -qx "exit /b $(value ExitCutOff)"; then
    fail "a cut-off run does not end with $(value ExitCutOff)"
fi
cut_off_said=$(sed -n "s/^\$CutOffSaid = '\([^']*\)'\$/\1/p" "$script")
[ -n "$cut_off_said" ] && tr -d '\r' <"$root/tests/kit/run-tests.cmd" | sed -n '/^:cut_off/,/^exit/p' | grep -qF "$cut_off_said" ||
    fail "windows-ci.ps1 looks for \"$cut_off_said\", which run-tests.cmd does not say of a cut-off run"
grep -qF "kLeftover = $(value ExitLeftover);" "$root/tests/kit/run.h" ||
    fail "a start after a cut-off run does not end with $(value ExitLeftover)"
# The script finds the types as the u"..." strings of constants.h: the table and .cue.
constants=$root/src/shared/constants.h
table=$(sed -n 's/.*array<const char16_t\*, \([0-9]*\)> AudioExtensions.*/\1/p' "$constants")
if [ "$(grep -o 'u"\.[a-z0-9]*"' "$constants" | wc -l)" -ne $((table + 1)) ]; then
    fail "windows-ci.ps1 would not read the $((table + 1)) types from constants.h"
fi
# The set-up on a mirror mid-sync, on both kinds of host, with one stand-in for each command
# that reads or changes the machine's packages (none changes it): the update fails, an i386
# install breaks, xdotool is missing, and its install fails once (or every time).
fake=$(mktemp -d)
trap 'rm -rf "$out" "$fake"' EXIT
cat >"$fake/apt-get" <<'STAND_IN'
#!/bin/sh
echo "${0##*/} $*" >>"$FAKE_LOG"
case "${0##*/} $*" in
dpkg-query*xdotool* | dpkg-query*i386*) exit 1 ;;
dpkg-query*) printf 'install ok installed' ;;
apt-get*update*) echo "E: Failed to fetch http://mirror/binary-i386/Packages.xz  Mirror sync in progress?" >&2 && exit 100 ;;
apt-get*:i386*) echo "E: Error, pkgProblemResolver::Resolve generated breaks" >&2 && exit 100 ;;
apt-get*) [ "$FAKE_INSTALL" = once ] && [ -e "$FAKE_LOG.failed" ] || { touch "$FAKE_LOG.failed" && exit 100; } ;;
esac
STAND_IN
printf '#!/bin/sh\nexec "$@"\n' >"$fake/sudo"
for command in dpkg dpkg-query; do cp "$fake/apt-get" "$fake/$command"; done
chmod +x "$fake"/*
for run in 32:once 64:once 64:never; do
    status=0
    PATH="$fake:$PATH" FAKE_LOG="$fake/$run.log" FAKE_INSTALL=${run#*:} MF_HOST_32BIT=$((${run%:*} == 32)) \
        MF_SETUP_RETRY_SECONDS=0 bash "$root/scripts/setup.sh" >"$fake/$run.out" 2>&1 || status=$?
    log=$(cat "$fake/$run.log") said=$(cat "$fake/$run.out")
    case $run in
    *never) [ "$status" -eq 1 ] && grep -q "could not install xdotool;.*mid-sync" <<<"$said" ||
        fail "set-up ($run) exited $status without naming what it could not install: $said" ;;
    *) [ "$status" -eq 0 ] && [ "$(grep -c '^apt-get install .*xdotool' <<<"$log")" -eq 2 ] &&
        grep -q "warning: E: Failed to fetch" <<<"$said" || fail "set-up ($run) exited $status, past the failed update and the failed install: $said" ;;
    esac
    [[ $run != 64* ]] || ! grep -q i386 <<<"$log" || fail "set-up on a host without 32-bit code asked for i386: $log"
    [[ $run != 32* ]] || { grep -q '^dpkg --add-architecture i386' <<<"$log" && grep -q '^apt-get install .*wine32:i386' <<<"$log" &&
        grep -q '^dpkg --remove-architecture i386' <<<"$log" &&
        grep -q "no 32-bit Wine could be installed" <<<"$said"; } || fail "set-up on a 32-bit host did not try the 32-bit Wine: $said"
done
echo "check-workflow: passed (workflow valid against the schema; $(wc -w <<<"$names") names, the kit's files, results folder, exit codes and types as the build makes them; the set-up past a mirror mid-sync on both kinds of host)"
