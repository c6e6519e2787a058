#!/usr/bin/env bash
# Builds the 64-bit Windows programs (Release, in build-win64/) and runs the
# benchmark under Wine, in a fresh prefix of its own: the library's fax
# operations through the simulated device's driver against a raw Win32
# client of the same device path. Prints one table. Arguments go to
# tessaline-bench.exe (--quick).
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
. scripts/wine-common.sh
dir=build-win64
wine=$(wine_loader 64)

echo "== building (Release) in $dir" >&2
log=$(mktemp)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tessaline-bench-wine.XXXXXX")
trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1; WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1; rm -rf "$log" "$prefix"' EXIT
if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake &&
       cmake --build "$dir" --target tessaline-bench tessaline_dll -j "$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi

wine_headless
export WINEPREFIX=$prefix WINEARCH=win64
echo "== a fresh Wine prefix in $prefix" >&2
"$wine" wineboot --init >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
wineserver -w
echo "== running $dir/bin/tessaline-bench.exe $*" >&2
cd "$dir/bin"
"$wine" tessaline-bench.exe "$@" | tr -d '\r'
