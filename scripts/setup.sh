#!/usr/bin/env bash
# Installs what the project needs on a Debian machine, and nothing when the host's own packages
# are all there. A mirror mid-sync is not a failure: a failed index is a warning, a failed
# install is tried once more. The 32-bit Wine comes last, alone, only where the kernel runs
# 32-bit code, and is optional: without it the Wine suites and the demo run the 64-bit build.
set -euo pipefail
source "$(dirname "$0")/host.sh"

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev valgrind python3
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 fonts-wine
    xvfb xauth x11-utils imagemagick icoutils openbox bc xdotool
    osslsigncode openssl clang-tidy zip
)
# The workflow check's validator comes from the npm registry; a machine with an npm of its own
# keeps it.
command -v npm >/dev/null || packages+=(nodejs npm)

not_installed() {  # packages: prints those not installed
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            echo "$package"
    done
}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
update() {  # a failed index is named and passed over: the install says whether it mattered
    said=$($sudo apt-get update -q 2>&1) && return 0
    grep -E '^(E|W): Failed to fetch' <<<"$said" | sed 's/^/setup: warning: /' >&2 ||
        echo "setup: warning: apt-get update failed: $(tail -n 1 <<<"$said")" >&2
}
install() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends --no-remove "$@"; }

mapfile -t missing < <(not_installed "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    update
    if ! install "${missing[@]}"; then
        echo "setup: the install failed; updating and trying again in ${MF_SETUP_RETRY_SECONDS:-30} s" >&2
        sleep "${MF_SETUP_RETRY_SECONDS:-30}"
        update
        if ! install "${missing[@]}"; then
            echo "setup: could not install $(not_installed "${missing[@]}" | xargs);" \
                "the package mirror may be mid-sync: run this again later" >&2
            exit 1
        fi
    fi
fi

# The 32-bit Wine, where the kernel can run it; a mirror that cannot give it is said in a line.
if mf_runs_32bit && [ -n "$(not_installed wine32:i386)" ]; then
    added=
    dpkg --print-foreign-architectures | grep -qx i386 || { $sudo dpkg --add-architecture i386 && added=1; }
    update 2>/dev/null
    if said=$(install wine32:i386 2>&1); then
        echo "setup: installed the 32-bit Wine (wine32:i386)"
    else
        echo "setup: no 32-bit Wine could be installed ($(grep '^E:' <<<"$said" | tail -n 1));" \
            "the Wine suites and the demo run the 64-bit build" >&2
        # An architecture added in vain would have every later update fetch its indexes.
        [ -z "$added" ] || $sudo dpkg --remove-architecture i386 ||
            echo "setup: warning: could not remove the i386 architecture again" >&2
    fi
fi
