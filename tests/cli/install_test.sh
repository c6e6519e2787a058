#!/usr/bin/env bash
# The installed package as its users see it: the programs, run from the
# prefix with nothing set, their manual pages and bash completion; and as a
# host project sees it: the library, the header, the pkg-config file and the
# CMake package, each used to build and run the example host.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
name=install
# shellcheck source=tests/cli/harness.sh
source "$(dirname "$0")/harness.sh"
export TESSALINE_DEVICE_DIR=$work/no-devices TESSALINE_DIAGNOSTICS=none

cmake --install "$build" --prefix "$work/prefix" >/dev/null

# The programs are installed with the library.
for program in tessaline tessaline-simd tessaline-mktiff; do
  LD_LIBRARY_PATH=$work/prefix/lib "$work/prefix/bin/$program" --help >/dev/null && ok ||
    fail_now "$program is not installed, or its --help fails"
done

# With no device the host gets FAXSTATUS_NO_DEVICE (7) back: proof that it
# was built, linked and reached the library.
expect_no_device() {
  local out rc=0
  out=$(LD_LIBRARY_PATH=$work/prefix/lib "$1") || rc=$?
  [ "$rc" -eq 7 ] && [ "$out" = "status 7, 0 received fax(es)" ] && ok || fail_now "$1 gave $rc: $out"
}

# The installed programs find the installed library by themselves, also once
# the whole tree has moved elsewhere; their manual pages and completion are
# there.
cp -a "$work/prefix" "$work/moved"
for prefix in "$work/prefix" "$work/moved"; do
  rc=0
  env -u LD_LIBRARY_PATH "$prefix/bin/tessaline" count >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 7 ] && ok || fail_now "$prefix/bin/tessaline count gave $rc, expected 7 (no device)"
  for program in tessaline tessaline-simd tessaline-mktiff; do
    version=$(env -u LD_LIBRARY_PATH "$prefix/bin/$program" --version) && ok || fail_now "$program --version"
    [ "$version" = "$program $(sed -n 's/^project(tessaline VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")" ] && ok ||
      fail_now "$program --version says '$version'"
    [ -s "$prefix/share/man/man1/$program.1" ] && ok || fail_now "no manual page for $program"
    bash -c "source '$prefix/share/bash-completion/completions/$program' && complete -p $program" >/dev/null && ok ||
      fail_now "no bash completion for $program"
  done
done
[ "$(bash -c "source '$work/prefix/share/bash-completion/completions/tessaline'
  COMP_WORDS=(tessaline li); COMP_CWORD=1; _tessaline; echo \"\${COMPREPLY[*]}\"")" = list ] && ok ||
  fail_now "completing 'tessaline li'"

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
finish
