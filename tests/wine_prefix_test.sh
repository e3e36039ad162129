#!/usr/bin/env bash
# scripts/wine-prefix.sh makes a new prefix without writing outside it: with HOME a new empty
# folder (and the XDG folders left to default into it), the folder is still empty after the
# prefix is made, and the prefix keeps the desktop-menu builder off for later processes.
# Wine's own server socket under /tmp is its run-time state, not written by us, and not
# watched.
# Usage: wine_prefix_test.sh win32|win64
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:?usage: wine_prefix_test.sh win32|win64}
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/home"

# From the home folder, so that anything written to the current folder shows up there too.
(cd "$work/home" &&
    env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME -u XDG_STATE_HOME \
        -u XDG_DESKTOP_DIR HOME="$work/home" \
        bash "$root/scripts/wine-prefix.sh" "$work/prefix" "$arch")
# Anything still running in the prefix finishes before the folder is looked at.
WINEPREFIX="$work/prefix" wineserver -w

failed=0
written=$(cd "$work/home" && find . -mindepth 1 | sort)
if [ -n "$written" ]; then
    echo "FAIL: making a $arch prefix wrote into the empty home folder:" >&2
    echo "$written" >&2
    failed=1
fi
if ! grep -qx '"winemenubuilder.exe"=""' "$work/prefix/user.reg"; then
    echo "FAIL: the $arch prefix's registry does not keep the menu builder off" >&2
    failed=1
fi
[ "$failed" -eq 0 ] && echo "a new $arch prefix left the home folder empty"
exit "$failed"
