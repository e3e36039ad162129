#!/usr/bin/env bash
# Sets up the machine if needed, builds every configuration and runs every test:
#   native suite (substitute registry) under AddressSanitizer and UndefinedBehaviorSanitizer,
#   the same suite under valgrind, a bounded run of the command-line fuzzer on its corpus,
#   clang-tidy over src/, the release package and a check that two builds are identical,
#   and the Windows suites under Wine (registry, end to end, image, signing), each on a
#   32-bit and a 64-bit prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/display.sh
cleanup() {
    for arch in win32 win64; do
        WINEPREFIX="$PWD/build/windows/wineprefix-$arch" wineserver -k 2>/dev/null || true
    done
    mf_stop_display
    rm -rf "${fuzz_work:-}"
}
trap cleanup EXIT

cmake --preset native
cmake --build --preset native
ctest --preset native

cmake --preset valgrind
cmake --build --preset valgrind --target core_tests
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite -q \
    build/valgrind/tests/core_tests --gtest_brief=1

cmake --preset fuzz
cmake --build --preset fuzz
fuzz_work=$(mktemp -d)
if ! build/fuzz/fuzz/commandline_fuzzer -max_total_time="${MF_FUZZ_SECONDS:-30}" -max_len=4096 \
    -print_final_stats=1 "$fuzz_work" fuzz/corpus/commandline >"$fuzz_work/log" 2>&1; then
    tail -n 40 "$fuzz_work/log"
    echo "fuzzer: finding above" >&2
    exit 1
fi
grep -E '^(Done|stat::number_of_executed_units)' "$fuzz_work/log"

bash scripts/tidy.sh

cmake --preset windows
cmake --build --preset windows
cmake --build --preset windows --target package
python3 tests/release/check_package.py \
    "build/windows/Marblefinch_associate-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)-win32.zip" \
    build/windows/Marblefinch_associate.exe README.md
bash scripts/reproducible.sh

# The two prefixes' suites side by side: each prefix has its own wineserver, and its suites
# hold a lock on it (tests/wine.cmake), so they still run one after another.
ctest --preset windows --parallel 2
