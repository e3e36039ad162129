#!/usr/bin/env bash
# Sets up the machine if needed, builds both configurations and runs every test:
# the native suite (substitute registry, sanitizers) and the Windows suites under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/display.sh
cleanup() {
    WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true
    mf_stop_display
}
trap cleanup EXIT

cmake --preset native
cmake --build --preset native
ctest --preset native

cmake --preset windows
cmake --build --preset windows
ctest --preset windows
