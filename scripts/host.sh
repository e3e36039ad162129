#!/usr/bin/env bash
# Sourced: what this host can run, decided here once for the set-up, the demo and the tests.
# MF_HOST_32BIT=1 or 0 forces the answer (the set-up's check runs both ways).

# Whether the kernel runs 32-bit x86 programs. Asked of the kernel itself, with a 96-byte i386
# program that needs no library and exits 42, so that no 32-bit package must be there first;
# a kernel without 32-bit emulation refuses it ("Exec format error"). Only an x86 machine is
# asked: elsewhere an emulator could answer for it. The probe lies in the build folder, where
# programs must run anyway (a temporary folder may forbid it).
mf_runs_32bit() {
    case "${MF_HOST_32BIT:-}" in
        1) return 0 ;;
        0) return 1 ;;
    esac
    case "$(uname -m)" in x86_64 | i?86) ;; *) return 1 ;; esac
    local probe status=0 build
    build="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build"
    mkdir -p "$build" && probe=$(mktemp "$build/probe-32bit.XXXXXX") || return 1
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0' >"$probe"
    printf '\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10' >>"$probe"
    printf '\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200' >>"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 42 ]
}

# Why no 32-bit Wine runs here; nothing when one does (unless MF_HOST_32BIT=0 says otherwise).
mf_no_32bit_wine() {
    if [ "${MF_HOST_32BIT:-}" != 0 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
        return 0
    elif ! mf_runs_32bit; then
        echo "this host runs no 32-bit code"
    else
        echo "no 32-bit Wine could be installed"
    fi
}

# Debian's 64-bit Wine loader has no preloader to keep free the page at which Wine maps each
# process's shared data (0x7ffe0000), and the kernel may start a process's heap anywhere in
# the gigabyte after the loader; where it starts on that page, the program fails to start
# (row 20, docs/wine-divergences.md). So a script that starts Wine programs runs itself again
# without address randomization, where the host lets a program ask for that, or says it cannot.
# Called first, with the script and its arguments; once for a script and all it starts.
mf_fixed_layout() {
    [ -z "${MF_FIXED_LAYOUT_ASKED:-}" ] || return 0
    export MF_FIXED_LAYOUT_ASKED=1
    if ((0x$(cat /proc/self/personality 2>/dev/null || echo 0) & 0x40000)); then
        return 0
    elif setarch "$(uname -m)" -R true 2>/dev/null; then
        exec setarch "$(uname -m)" -R bash "$@"
    fi
    echo "$(basename "$1"): this host does not let programs run without address randomization:" \
        "now and then a Wine program may fail to start (row 20, docs/wine-divergences.md)" >&2
}
