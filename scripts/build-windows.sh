#!/usr/bin/env bash
# Builds Tessaline.dll, tessaline.exe (and the simulated device,
# tessaline-simd.exe) for 32-bit and 64-bit Windows with MinGW-w64, then the
# Windows Installer packages with msitools' wixl:
#   build-win32/bin/Tessaline.dll   build-win64/bin/Tessaline.dll
#   build-win32/bin/tessaline.exe   build-win64/bin/tessaline.exe
#   build-installer/Tessaline-6.0.5.8-x86.msi  (32-bit Tessaline.dll and tessaline.exe)
#   build-installer/Tessaline-6.0.5.8-x64.msi  (both DLLs, each for its own hosts;
#                                               the 64-bit tessaline.exe)
# Pass i686 or x86_64 to build one architecture only (i686 alone gives the
# x86 package, x86_64 alone none). TESSALINE_MSI_VERSION sets the packages' version (the
# default is the build's). --packages-only makes the packages from the
# builds as they are, building nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages_only=
if [ "${1:-}" = --packages-only ]; then
  packages_only=yes
  shift
fi
archs=("$@") built=()
[ ${#archs[@]} -gt 0 ] || archs=(i686 x86_64)
for arch in "${archs[@]}"; do
  case $arch in
    i686) dir=build-win32 ;;
    x86_64) dir=build-win64 ;;
    *) echo "build-windows.sh: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
  esac
  if [ -n "$packages_only" ]; then
    [ -f "$dir/bin/Tessaline.dll" ] || { echo "build-windows.sh: $dir is not built" >&2; exit 1; }
  else
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake"
    cmake --build "$dir" -j "$(nproc)" --target tessaline_dll tessaline-cli tessaline-simd
    echo "built $dir/bin/Tessaline.dll $dir/bin/tessaline.exe"
  fi
  built+=("$arch")
done

# The packages. wixl finds the files by paths relative to the repository.
# The version is the build's own (identity.sh, written by cmake/windows.cmake).
[ ${#built[@]} -gt 0 ] || exit 0
TESSALINE_VERSION=
. "$([ -f build-win32/identity.sh ] && echo build-win32 || echo build-win64)/identity.sh"
version=${TESSALINE_MSI_VERSION:-$TESSALINE_VERSION}
mkdir -p build-installer
package() {
  local arch=$1 out=build-installer/Tessaline-$version-$1.msi
  wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D Bin32=build-win32/bin -D Bin64=build-win64/bin \
       -D Examples=examples -D Headers=include/tessaline -o "$out" installer/Tessaline.wxs 2> >(grep -v -e 'CRITICAL' -e '^$' >&2)
  # The folder of tessaline.exe on the system's PATH, put in front on
  # install and taken out on uninstall: a row of the Environment table, and
  # the two actions that process it. In front, because taking out a folder
  # that was appended leaves its separator behind under Wine, and an empty
  # element ends the command interpreter's search of the PATH there.
  local folder=INSTALLDIR32 tables
  [ "$arch" = x86 ] || folder=INSTALLDIR64
  tables=$(mktemp -d)
  printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n' > "$tables/Environment.idt"
  printf 'Path\t=-*Path\t[%s];[~]\tTool\n' "$folder" >> "$tables/Environment.idt"
  msiinfo export "$out" InstallExecuteSequence > "$tables/InstallExecuteSequence.idt"
  printf 'RemoveEnvironmentStrings\t\t3300\nWriteEnvironmentStrings\t\t5200\n' >> "$tables/InstallExecuteSequence.idt"
  msibuild "$out" -i "$tables/Environment.idt" && msibuild "$out" -i "$tables/InstallExecuteSequence.idt"
  rm -rf "$tables"
  echo "built $out"
}
[[ " ${built[*]} " == *" i686 "* ]] || exit 0
package x86
[[ " ${built[*]} " == *" x86_64 "* ]] || exit 0
package x64
