#!/usr/bin/env bash
# Screenshots of the error case for the README: "regfolder" on a prefix whose folder class
# has no shell key, so the verb cannot be written and the error box comes up; then, after
# OK, the tool window that stays open.
# Runs inside a Wine virtual desktop so Wine draws the window frames itself.
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine programs start with the address layout fixed, where the host allows it (host.sh).
source scripts/host.sh
mf_fixed_layout scripts/screenshot.sh "$@"
box=${1:-docs/error-box.png}
window=${2:-docs/window.png}

# Without a 32-bit Wine the pictures come from the 64-bit build of the same sources, as the
# demo's run does.
preset=windows
wine=wine
no_32bit=$(mf_no_32bit_wine)
if [ -n "$no_32bit" ]; then
    preset=windows64
    wine=/usr/lib/wine/wine64
    echo "screenshot: $no_32bit; taking the pictures from the 64-bit build"
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target Marblefinch_associate >/dev/null
# Display first: the wineserver and its desktop keep the display they started with.
source scripts/display.sh
prefix="$PWD/build/$preset/screenshot-prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; mf_stop_display' EXIT
bash scripts/wine-prefix.sh "$prefix" win64 --bare
# One server for both programs, ended on exit (see scripts/demo.sh).
wineserver -p
"$wine" reg delete 'HKCR\Directory\shell' /f >/dev/null 2>&1 || true

fail() {
    echo "screenshot: $*" >&2
    exit 1
}
# A picture once the screen has settled: two captures in a row with the same pixels.
capture() {  # size file
    local previous='' current
    for _ in $(seq 60); do
        import -window root -crop "$1+0+0" +repage "$2"
        current=$(identify -format '%#' "$2")
        [ "$current" != "$previous" ] || return 0
        previous=$current
        sleep 0.5
    done
    fail "the screen did not settle within 30 s for $2"
}
# The error box is a window of its own, found by its caption (Wine's desktop is one too).
box_shown() {
    xdotool search --onlyvisible --name '^Marblefinch_associate$' >/dev/null
}

"$wine" explorer /desktop=shot,520x240 "build/$preset/Marblefinch_associate.exe" \
    'C:\Program Files\Marblefinch\player.exe' regfolder "Play with Marblefinch" &
for _ in $(seq 300); do
    box_shown && break
    sleep 0.2
done
box_shown || fail "no error box within 60 s"
mkdir -p "$(dirname "$box")" "$(dirname "$window")"
capture 520x240 "$box"
xdotool key Return
for _ in $(seq 300); do
    box_shown || break
    sleep 0.2
done
! box_shown || fail "the error box was still there 60 s after Return"
capture 320x80 "$window"
echo "wrote $box and $window"
