#!/usr/bin/env bash
# Sets up the machine if needed, builds every configuration and runs every test:
#   native suite (substitute registry) under AddressSanitizer and UndefinedBehaviorSanitizer,
#   the same suite under valgrind, a bounded run of the command-line fuzzer on its corpus,
#   clang-tidy over src/, the release package and a check that two builds are identical,
#   the Windows suites under Wine (registry, end to end, image, signing), each on a 32-bit
#   and a 64-bit prefix (from a 64-bit build on the 64-bit prefix where there is no 32-bit
#   Wine), and the test kit run through its run-tests.cmd in a prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine programs start with the address layout fixed, where the host allows it (host.sh).
source scripts/host.sh
mf_fixed_layout scripts/test.sh "$@"

bash scripts/setup.sh
# Every relative link in README.md and docs/ names a file that exists.
python3 scripts/check-links.py
# The kit's page gives the codes and messages the kit gives, and kit-check.sh proves.
python3 scripts/check-kit-page.py
source scripts/display.sh
cleanup() {
    for prefix in build/windows/wineprefix-win32 build/windows/wineprefix-win64 \
        build/windows64/wineprefix-win64; do
        WINEPREFIX="$PWD/$prefix" wineserver -k 2>/dev/null || true
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

cmake --build --preset windows --target test-kit
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)

# The two prefixes' suites side by side: each prefix has its own wineserver, and its suites
# hold a lock on it (tests/wine.cmake), so they still run one after another.
source scripts/host.sh
no_32bit=$(mf_no_32bit_wine)
if [ -z "$no_32bit" ]; then
    ctest --preset windows --parallel 2
    kit=build/windows/Marblefinch_associate-$version-win32-tests.zip
    empty=build/windows/bench/bench_empty.exe
else
    # Without a 32-bit Wine (the kernel runs no 32-bit code, or the mirror could not give it),
    # no i686 program starts. The checks of the 32-bit image that need no Wine run on it; every
    # suite that runs Windows code runs from a 64-bit build of the same sources. A release run
    # that must see the shipped image run sets MF_REQUIRE_32BIT=1.
    if [ -n "${MF_REQUIRE_32BIT:-}" ]; then
        echo "test.sh: MF_REQUIRE_32BIT is set, but $no_32bit" >&2
        exit 1
    fi
    echo "test.sh: $no_32bit: the Wine suites run from the 64-bit build" \
        "(windows64) on the 64-bit prefix; the 32-bit image gets its static checks only" >&2
    ctest --preset windows --label-exclude wine
    cmake --preset windows64
    cmake --build --preset windows64
    cmake --build --preset windows64 --target test-kit
    ctest --preset windows64 --label-regex wine
    kit=build/windows64/Marblefinch_associate-$version-win64-tests.zip
    empty=build/windows64/bench/bench_empty.exe
fi

# The CI workflow: valid against the published schema, and naming only what the build makes.
bash scripts/check-workflow.sh "build/windows/Marblefinch_associate-$version-win32.zip" \
    "build/windows/Marblefinch_associate-$version-win32-tests.zip" "$kit"

# The kit run as a stranger would run it on Windows, in a prefix of its own.
bash scripts/kit-check.sh "$kit" "$empty" build/kit-check "$(dirname "$kit")/tests/end_task.exe"
