#!/usr/bin/env bash
# The installed package as a host project sees it: the library, the header,
# the pkg-config file and the CMake package, each used to build and run the
# example host.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d /tmp/tessaline-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
export TESSALINE_DEVICE_DIR=$work/no-devices TESSALINE_DIAGNOSTICS=none

cmake --install "$build" --prefix "$work/prefix" >/dev/null

# The programs are installed with the library.
for program in tessaline tessaline-simd tessaline-mktiff; do
  LD_LIBRARY_PATH=$work/prefix/lib "$work/prefix/bin/$program" --help >/dev/null ||
    { echo "FAIL: $program is not installed, or its --help fails"; exit 1; }
done

# With no device the host gets FAXSTATUS_NO_DEVICE (7) back: proof that it
# was built, linked and reached the library.
expect_no_device() {
  local out rc=0
  out=$(LD_LIBRARY_PATH=$work/prefix/lib "$1") || rc=$?
  [ "$rc" -eq 7 ] && [ "$out" = "status 7, 0 received fax(es)" ] || { echo "FAIL: $1 gave $rc: $out"; exit 1; }
}

export PKG_CONFIG_PATH=$work/prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror "$source/examples/host.c" $(pkg-config --cflags --libs tessaline) -o "$work/host-pc"
expect_no_device "$work/host-pc"

mkdir "$work/project"
cp "$source/examples/host.c" "$work/project/"
cat >"$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(host C)
find_package(Tessaline REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE Tessaline::tessaline)
CMAKE
cmake -S "$work/project" -B "$work/project/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/project/build" >/dev/null
expect_no_device "$work/project/build/host"
echo "installed package works with pkg-config and find_package"
