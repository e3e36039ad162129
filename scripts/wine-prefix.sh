#!/usr/bin/env bash
# Makes (once) one of the project's own Wine prefixes, of the architecture asked for, and
# seeds it the way Windows is assumed to ship (A9, docs/assumptions.md): a "Directory\shell"
# with a couple of verbs, which a fresh Wine prefix lacks.
# Usage: wine-prefix.sh PREFIX win32|win64 [--bare] [--menus]
#   win32: 32-bit Windows; win64: 64-bit Windows, where the 32-bit tool runs under WoW64
#   --bare: no "Directory\shell", as a fresh Wine prefix has it
#   --menus: keep Wine's desktop-menu builder on (it is switched off otherwise)
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX win32|win64 [--bare] [--menus]}
arch=${2:-}
case $arch in
    win32 | win64) ;;
    *)
        echo "wine-prefix.sh: the architecture must be win32 or win64, not '$arch'" >&2
        exit 2
        ;;
esac
mode=seeded
menus=off
for option in "${@:3}"; do
    case $option in
        --bare) mode=--bare ;;
        --menus) menus=on ;;
        *)
            echo "wine-prefix.sh: unknown option '$option'" >&2
            exit 2
            ;;
    esac
done
# Wine starts winemenubuilder on every association-changed notice, and already while the
# first wineboot makes the prefix, to mirror associations into the host's desktop menus
# (~/.config/menus, ~/.local/share/...); a test prefix must not reach outside itself. So the
# override is in the environment of every Wine process here, the first wineboot included,
# and in the prefix's registry below for the processes started later.
overrides="mscoree,mshtml="
if [ "$menus" = off ]; then
    overrides+=";winemenubuilder.exe=d"
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=$overrides

prefix_arch() {
    sed -n 's/^#arch=//p' "$prefix/system.reg" 2>/dev/null | head -n 1
}

# A prefix of the other architecture (left by an older build) is ours to replace.
if [ -f "$prefix/system.reg" ] && [ "$(prefix_arch)" != "$arch" ]; then
    echo "wine-prefix.sh: $prefix is $(prefix_arch), remaking it as $arch"
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
fi

# Never what a plain `wine` would pick on this machine: the loader decides the architecture,
# so name it. Debian keeps the 64-bit loader off the PATH. Every command below runs through
# it, so a 64-bit prefix needs no 32-bit Wine (a host may run no 32-bit code at all).
if [ "$arch" = win64 ]; then
    loader=/usr/lib/wine/wine64
    [ -x "$loader" ] || loader=$(command -v wine64 || true)
    if [ -z "$loader" ]; then
        echo "wine-prefix.sh: a win64 prefix needs Wine's 64-bit loader (package wine64)" >&2
        exit 1
    fi
else
    loader=wine
fi

# Each command's server is gone before anything else starts: left to itself (a persistence
# delay of 0 seconds) it shuts down as the command ends, and a Wine program that starts
# meanwhile, here or in the caller, can be cut off ("wine client error:0: recvmsg: Connection
# reset by peer").
server_gone() {  # a server left persistent by a script that was killed would never go
    timeout 120 wineserver -w || {
        echo "wine-prefix.sh: the Wine server of $prefix did not end within 120 s (one left" \
            "running by a killed script?); end it with WINEPREFIX=$prefix wineserver -k" >&2
        exit 1
    }
}
wine_command() {
    local status=0
    "$loader" "$@" || status=$?
    server_gone
    return "$status"
}

if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    WINEARCH=$arch "$loader" wineboot -i >/dev/null 2>&1 || true
    server_gone
fi
if [ "$(prefix_arch)" != "$arch" ]; then
    echo "wine-prefix.sh: Wine did not make a $arch prefix in $prefix (got '$(prefix_arch)')" >&2
    exit 1
fi

# The window's font and the caption glyphs, from Wine's own fonts, as Windows has them (Tahoma
# assumed: A5, docs/assumptions.md).
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
    if [ -f "/usr/share/wine/fonts/$font" ] && [ ! -f "$prefix/drive_c/windows/Fonts/$font" ]; then
        cp "/usr/share/wine/fonts/$font" "$prefix/drive_c/windows/Fonts/"
    fi
done

if [ "$menus" = off ]; then
    wine_command reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /d '' /f >/dev/null
else
    wine_command reg delete 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /f >/dev/null 2>&1 || true
fi

if [ "$mode" != "--bare" ]; then
    wine_command reg add 'HKCR\Directory\shell\find' /ve /d '&Search...' /f >/dev/null
    wine_command reg add 'HKCR\Directory\shell\find\command' /ve /d 'explorer.exe /select,"%1"' /f >/dev/null
    wine_command reg add 'HKCR\Directory\shell\cmd' /ve /d 'Open command window here' /f >/dev/null
    wine_command reg add 'HKCR\Directory\shell\cmd\command' /ve /d 'cmd.exe /s /k pushd "%V"' /f >/dev/null
fi
echo "wine prefix ready: $prefix ($arch, $mode)"
