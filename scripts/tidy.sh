#!/usr/bin/env bash
# Static analysis: clang-tidy (the committed .clang-tidy) over src/: the portable core from
# the native build's compile database, the Windows-only layer from the Windows build's,
# with mingw-w64's own headers. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --preset windows >/dev/null
tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy)

# clang does not find the cross compiler's headers by itself: ask the compiler for them.
mingw_includes=()
while read -r folder; do
    mingw_includes+=("-extra-arg=-isystem$folder")
done < <(echo | i686-w64-mingw32-g++-posix -E -x c++ - -v 2>&1 |
    sed -n '/#include <...> search starts here/,/End of search list/{/^ /p}' | tr -d ' ')

run() {  # name, build folder, file pattern, extra arguments...
    local name=$1 build=$2 pattern=$3
    local log=$build/clang-tidy.log
    if ! "$tidy" -p "$build" -quiet "${@:4}" "$pattern" >"$log" 2>&1; then
        sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E '(warning|error):' | sort -u >&2
        echo "clang-tidy ($name): findings above (whole output in $log)" >&2
        exit 1
    fi
    echo "clang-tidy ($name): $(grep -cE "\"file\": \"$pattern" "$build/compile_commands.json") translation units, no findings"
}
run core build/native "$PWD/src/"
run windows build/windows "$PWD/src/(platform/win32/|app/regtypesform|Marblefinch_associate)" \
    -extra-arg=--target=i686-w64-mingw32 -extra-arg=-nostdinc++ "${mingw_includes[@]}"
