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

cmake --preset windows >/dev/null
cmake --build --preset windows --target Marblefinch_associate >/dev/null
# Display first: the wineserver and its desktop keep the display they started with.
source scripts/display.sh
prefix="$PWD/build/windows/screenshot-prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; mf_stop_display' EXIT
bash scripts/wine-prefix.sh "$prefix" win64 --bare
# One server for both programs, ended on exit (see scripts/demo.sh).
wineserver -p
wine reg delete 'HKCR\Directory\shell' /f >/dev/null 2>&1 || true

wine explorer /desktop=shot,520x240 build/windows/Marblefinch_associate.exe \
    'C:\Program Files\Marblefinch\player.exe' regfolder "Play with Marblefinch" &
sleep 6
mkdir -p "$(dirname "$box")" "$(dirname "$window")"
import -window root -crop 520x240+0+0 +repage "$box"
xdotool key Return
sleep 2
import -window root -crop 320x80+0+0 +repage "$window"
echo "wrote $box and $window"
