#!/usr/bin/env bash
# Builds Tessaline.dll (and the simulated device, tessaline-simd.exe) for
# 32-bit and 64-bit Windows with MinGW-w64:
#   build-win32/bin/Tessaline.dll   build-win64/bin/Tessaline.dll
# Pass i686 or x86_64 to build one architecture only.
set -euo pipefail
cd "$(dirname "$0")/.."

archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(i686 x86_64)
for arch in "${archs[@]}"; do
  case $arch in
    i686) dir=build-win32 ;;
    x86_64) dir=build-win64 ;;
    *) echo "build-windows.sh: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
  esac
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake"
  cmake --build "$dir" -j "$(nproc)" --target tessaline_dll tessaline-simd
  echo "built $dir/bin/Tessaline.dll"
done
