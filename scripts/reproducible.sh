#!/usr/bin/env bash
# Builds Marblefinch_associate.exe twice from the committed source (HEAD), in two different
# temporary folders at two different times, and checks that the two files are the same to
# the byte. Prints both SHA-256 sums.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sums=()
for build in first second; do
    tree="$work/$build-$RANDOM/source tree"
    mkdir -p "$tree"
    git archive HEAD | tar -x -C "$tree"
    cmake -S "$tree" -B "$tree/../out" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/i686-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DMF_TESTS=OFF >/dev/null
    cmake --build "$tree/../out" --target Marblefinch_associate >/dev/null
    sum=$(sha256sum "$tree/../out/Marblefinch_associate.exe" | cut -d' ' -f1)
    echo "$build build: $sum"
    sums+=("$sum")
    sleep 2  # a different second for anything that would stamp the time
done
if [ "${sums[0]}" != "${sums[1]}" ]; then
    echo "reproducible: the two builds differ" >&2
    exit 1
fi
echo "reproducible: 1 passed, 0 failed"
