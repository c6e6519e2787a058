#!/usr/bin/env bash
# Installs what building and testing Tessaline needs on Debian 12: the Linux
# build, and the Windows build (MinGW-w64, the IDL compiler) with Wine to run
# its tests. Run as root (or with sudo available).
#
#   install-deps.sh               everything
#   install-deps.sh --linux-only  the Linux build and its tests only: no
#                                 MinGW-w64, no Wine, no i386 architecture
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

linux_only=0
for arg in "$@"; do
  case $arg in
    --linux-only) linux_only=1 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install-deps.sh: unknown option $arg" >&2
       echo "Run 'install-deps.sh --help' for usage." >&2
       exit 64 ;;
  esac
done

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  jq
  # The tessaline command's documents: Ghostscript (run as a program) renders
  # PDF, PostScript and text; libtiff checks and writes fax images; libpng and
  # libjpeg read images; zlib compresses the PDF it writes. libtiff-tools'
  # tiffinfo lets the tests look at the images sent.
  ghostscript libtiff-dev libpng-dev libjpeg-dev zlib1g-dev libtiff-tools
  clang libclang-rt-14-dev llvm  # libFuzzer, its sanitizers and their symbolizer (scripts/fuzz.sh)
  # `tessaline web`'s tests: a browser that renders the device's pages
  # (headless, with screenshots) and an HTTP client.
  chromium curl
)
# The Windows build and its tests under Wine: 32-bit Wine needs the i386
# architecture; libwine-dev brings the IDL files widl imports, googletest the
# sources the cross build compiles, wixl and msitools the installer packages.
windows_packages=(
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine32:i386 wine64 libwine-dev googletest wixl msitools
)

if [ "$linux_only" -eq 1 ]; then
  windows_packages=()
elif ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}" "${windows_packages[@]}"
