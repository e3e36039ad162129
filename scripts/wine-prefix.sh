#!/usr/bin/env bash
# Makes (once) the project's own Wine prefix and seeds it the way Windows ships it: a
# "Directory\shell" with a couple of verbs, which a fresh Wine prefix lacks.
# Usage: wine-prefix.sh PREFIX [--bare] [--menus]
#   --bare: no "Directory\shell", as a fresh Wine prefix has it
#   --menus: keep Wine's desktop-menu builder on (it is switched off otherwise)
set -euo pipefail
prefix=$1
mode=seeded
menus=off
for option in "${@:2}"; do
    case $option in
        --bare) mode=--bare ;;
        --menus) menus=on ;;
    esac
done
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
if [ ! -f "$prefix/system.reg" ]; then
    echo "wine-prefix.sh: Wine did not make a prefix in $prefix" >&2
    exit 1
fi

# The window's font and the caption glyphs, from Wine's own fonts, as Windows has them.
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
    if [ -f "/usr/share/wine/fonts/$font" ] && [ ! -f "$prefix/drive_c/windows/Fonts/$font" ]; then
        cp "/usr/share/wine/fonts/$font" "$prefix/drive_c/windows/Fonts/"
    fi
done

# Wine starts winemenubuilder on every association-changed notice, to mirror associations
# into the host's desktop menus; a test prefix must not reach outside itself.
if [ "$menus" = off ]; then
    wine reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /d '' /f >/dev/null
else
    wine reg delete 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /f >/dev/null 2>&1 || true
fi

if [ "$mode" != "--bare" ]; then
    wine reg add 'HKCR\Directory\shell\find' /ve /d '&Search...' /f >/dev/null
    wine reg add 'HKCR\Directory\shell\find\command' /ve /d 'explorer.exe /select,"%1"' /f >/dev/null
    wine reg add 'HKCR\Directory\shell\cmd' /ve /d 'Open command window here' /f >/dev/null
    wine reg add 'HKCR\Directory\shell\cmd\command' /ve /d 'cmd.exe /s /k pushd "%V"' /f >/dev/null
fi
echo "wine prefix ready: $prefix ($mode)"
