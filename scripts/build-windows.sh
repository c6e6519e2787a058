#!/usr/bin/env bash
# Builds Tessaline.dll (and the simulated device, tessaline-simd.exe) for
# 32-bit and 64-bit Windows with MinGW-w64, then the Windows Installer
# packages with msitools' wixl:
#   build-win32/bin/Tessaline.dll   build-win64/bin/Tessaline.dll
#   build-installer/Tessaline-6.0.5.8-x86.msi  (32-bit Tessaline.dll)
#   build-installer/Tessaline-6.0.5.8-x64.msi  (both, each for its own hosts)
# Pass i686 or x86_64 to build one architecture only (i686 alone gives the
# x86 package, x86_64 alone none). TESSALINE_MSI_VERSION sets the packages' version (the
# default is the version resource's).
set -euo pipefail
cd "$(dirname "$0")/.."

archs=("$@") built=()
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
  built+=("$arch")
done

# The packages. wixl finds the files by paths relative to the repository.
version=${TESSALINE_MSI_VERSION:-$(sed -n 's/^#define TESSALINE_VERSION_TEXT "\(.*\)"$/\1/p' src/server/resources/Tessaline.rc)}
mkdir -p build-installer
package() {
  local arch=$1 out=build-installer/Tessaline-$version-$1.msi
  wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D Bin32=build-win32/bin -D Bin64=build-win64/bin \
       -D Examples=examples -D Headers=include/tessaline -D Types=src/protocol -o "$out" installer/Tessaline.wxs 2> >(grep -v -e 'CRITICAL' -e '^$' >&2)
  echo "built $out"
}
[[ " ${built[*]} " == *" i686 "* ]] || exit 0
package x86
[[ " ${built[*]} " == *" x86_64 "* ]] || exit 0
package x64
