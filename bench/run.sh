#!/usr/bin/env bash
# Benchmarks, printed as tables; nothing here asserts a time.
#  1. Under Wine, on a warm wineserver and a desktop with a window manager (as a user has):
#     medians of alternating runs of the tool doing "regall", the floor (the same registry
#     calls and shell notices, nothing else), the floor without the notices, `reg import` of
#     the same 112 values, an empty GUI program, and the tool with a word that writes nothing
#     (its window alone); then where the time goes.
#  2. Natively, Google Benchmark on the core with the substitute store.
# Usage: bench/run.sh [rounds]   (default 11)
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine programs start with the address layout fixed, where the host allows it (host.sh).
source scripts/host.sh
mf_fixed_layout bench/run.sh "$@"
rounds=${1:-11}

bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target Marblefinch_associate bench_floor bench_empty >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench --target core_bench >/dev/null

source scripts/display.sh
openbox >/dev/null 2>&1 &
wm=$!
prefix="$PWD/build/windows/bench-prefix"
bash scripts/wine-prefix.sh "$prefix" win64 --menus >/dev/null
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; kill $wm 2>/dev/null || true; mf_stop_display' EXIT
# A warm, persistent wineserver for every run.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p

# The same 112 values as a .reg file.
reg="$PWD/build/windows/bench/regall.reg"
{
    printf 'REGEDIT4\r\n\r\n'
    player='C:\\Program Files\\P\\player.exe'
    for ext in .wav .mp3 .ogg .flac .wma .ape .mpc .m4a .aac .m4b .wv .alac .ac3 .mod .mo3 \
               .mp1 .mp2 .mp4 .aif .ofr .tta .cue; do
        id="Marblefinch$ext"
        printf '[HKEY_CLASSES_ROOT\\%s]\r\n@="%s"\r\n\r\n' "$ext" "$id"
        printf '[HKEY_CLASSES_ROOT\\%s]\r\n@=""\r\n\r\n' "$id"
        printf '[HKEY_CLASSES_ROOT\\%s\\DefaultIcon]\r\n@="%s,0"\r\n\r\n' "$id" "$player"
        printf '[HKEY_CLASSES_ROOT\\%s\\Shell\\Open]\r\n@="&Open"\r\n\r\n' "$id"
        printf '[HKEY_CLASSES_ROOT\\%s\\Shell\\Open\\Command]\r\n@="\\"%s\\" \\"%%1\\""\r\n\r\n' \
            "$id" "$player"
    done
    printf '[HKEY_CLASSES_ROOT\\Directory\\shell\\Marblefinch.Play]\r\n@="Play with Marblefinch"\r\n\r\n'
    printf '[HKEY_CLASSES_ROOT\\Directory\\shell\\Marblefinch.Play\\command]\r\n@="\\"%s\\" \\"%%1\\""\r\n' \
        "$player"
} >"$reg"
regwin=$(winepath -w "$reg")

exe=build/windows/Marblefinch_associate.exe
# "_quiet": Wine's menu builder switched off. On every association-changed notice Wine
# starts winemenubuilder.exe to mirror the associations into the Linux desktop; Windows has
# no such step, so these runs show the notices' cost without it.
names=(regall floor floor_no_notices reg_import empty window_only regall_quiet floor_quiet)
run() {
    local WINEDLLOVERRIDES=$WINEDLLOVERRIDES
    case $1 in
        *_quiet) WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d" ;;
    esac
    case ${1%_quiet} in
        regall) wine "$exe" 'C:\Program Files\P\player.exe' regall 'Play with Marblefinch' ;;
        floor) wine build/windows/bench/bench_floor.exe ;;
        floor_no_notices) wine build/windows/bench/bench_floor.exe --no-notify ;;
        reg_import) wine reg import "$regwin" ;;
        empty) wine build/windows/bench/bench_empty.exe ;;
        window_only) wine "$exe" 'C:\Program Files\P\player.exe' none ;;
    esac >/dev/null 2>&1
}

for name in "${names[@]}"; do run "$name"; run "$name"; done  # warm caches and the server
declare -A samples
for ((round = 0; round < rounds; round++)); do
    # Rotate the order each round so no program always follows the same one.
    for ((i = 0; i < ${#names[@]}; i++)); do
        name=${names[$(((i + round) % ${#names[@]}))]}
        start=$(date +%s%N)
        run "$name"
        end=$(date +%s%N)
        samples[$name]+="$(((end - start) / 1000)) "
    done
done

median() { tr ' ' '\n' <<<"$1" | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2)}'; }
declare -A med
echo
echo "Wine $(wine --version), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); $rounds alternating rounds"
printf '%-18s %12s\n' program "median (ms)"
for name in "${names[@]}"; do
    med[$name]=$(median "${samples[$name]}")
    printf '%-18s %12.1f\n' "$name" "$(bc -l <<<"${med[$name]} / 1000")"
done
ratio() { printf '%.2f' "$(bc -l <<<"$1 / $2")"; }
echo
echo "regall / floor       = $(ratio "${med[regall]}" "${med[floor]}")"
echo "regall / reg import  = $(ratio "${med[regall]}" "${med[reg_import]}")"
echo "registration work alone, (regall - window_only) / (floor - empty) = $(ratio "$((med[regall] - med[window_only]))" "$((med[floor] - med[empty]))")"
echo "menu builder off: regall / floor = $(ratio "${med[regall_quiet]}" "${med[floor_quiet]}"), regall / reg import = $(ratio "${med[regall_quiet]}" "${med[reg_import]}")"
share() { printf '%5.1f ms  %4.0f %%' "$(bc -l <<<"$1 / 1000")" "$(bc -l <<<"100 * $1 / ${med[regall]}")"; }
echo
echo "where the time of a regall goes:"
echo "  process start and end          $(share "${med[empty]}")"
echo "  registry calls (+ their DLLs)  $(share "$((med[floor_no_notices] - med[empty]))")"
echo "  the 22 shell notices           $(share "$((med[floor] - med[floor_no_notices]))")"
echo "  window, show and the rest      $(share "$((med[regall] - med[floor]))")"
echo "  (a run that only shows the window costs $(share "$((med[window_only] - med[empty]))") over an empty program)"
echo "  (of the notices, Wine's menu builder: $(share "$((med[floor] - med[floor_quiet]))"))"

echo
echo "native core (substitute store, optimised build):"
build/bench/bench/core_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
    grep -E '_median|Benchmark|---'
