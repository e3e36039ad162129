#!/usr/bin/env bash
# The main job: sets up the machine if needed, builds Marblefinch_associate.exe and runs it
# under Wine as the player would ("<player path>" regall "<caption>") on the project's own
# Windows-like prefix, then shows the entries that landed and the exit code.
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine programs start with the address layout fixed, where the host allows it (host.sh).
source scripts/host.sh
mf_fixed_layout scripts/demo.sh "$@"

bash scripts/setup.sh
# Without a 32-bit Wine (the kernel runs no 32-bit code, or the mirror could not give it) the
# demo runs the same sources' 64-bit build, and says why.
preset=windows
wine=wine
no_32bit=$(mf_no_32bit_wine)
if [ -n "$no_32bit" ]; then
    preset=windows64
    wine=/usr/lib/wine/wine64
    echo "demo: $no_32bit; running the 64-bit build of the same sources"
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target Marblefinch_associate

# Display first: the wineserver and its desktop keep the display they started with.
source scripts/display.sh
prefix="$PWD/build/$preset/demo-prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; mf_stop_display' EXIT
bash scripts/wine-prefix.sh "$prefix" win64
# One server for the programs below, ended on exit: left to itself it shuts down as each ends,
# and the next, started meanwhile, can be cut off ("wine client error:0: recvmsg: Connection
# reset by peer").
wineserver -p

player='C:\Program Files\Marblefinch\player.exe'
echo "running: Marblefinch_associate.exe \"$player\" regall \"Play with Marblefinch\""
status=0
"$wine" "build/$preset/Marblefinch_associate.exe" "$player" regall "Play with Marblefinch" || status=$?
echo "exit code: $status"

echo
echo "entries written (HKEY_CLASSES_ROOT):"
"$wine" reg query 'HKCR\.mp3' | tr -d '\r' | grep -v '^$'
"$wine" reg query 'HKCR\Marblefinch.mp3' /s | tr -d '\r' | grep -v '^$'
"$wine" reg query 'HKCR\.cue' | tr -d '\r' | grep -v '^$'
"$wine" reg query 'HKCR\Directory\shell\Marblefinch.Play' /s | tr -d '\r' | grep -v '^$'
types=0
for ext in .wav .mp3 .ogg .flac .wma .ape .mpc .m4a .aac .m4b .wv .alac .ac3 .mod .mo3 .mp1 \
           .mp2 .mp4 .aif .ofr .tta .cue; do
    "$wine" reg query "HKCR\\$ext" /ve 2>/dev/null | grep -q "Marblefinch$ext" && types=$((types + 1))
done
echo "file types pointing at the player: $types of 22"
exit "$status"
