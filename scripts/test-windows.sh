#!/usr/bin/env bash
# The Windows tests: builds each architecture once (32-bit first), runs the
# CTest tests of each cross build, then the installer's test.
#   - ctest in build-win32 and build-win64: Tessaline.dll as a file, then the
#     Wine suites in a fresh prefix (tests/windows/wine_tests.cmake);
#   - scripts/test-installer.sh: the packages, each in a fresh prefix.
#   TESSALINE_WINDOWS_ARCHS=x86_64 scripts/test-windows.sh     # one architecture
#   TESSALINE_WINDOWS_PARTS=installer scripts/test-windows.sh  # module or installer only
# The installer part alone builds only the programs the packages carry, and
# the x64 package takes the 32-bit build too. On a host that cannot run
# 32-bit programs the 32-bit DLL is still built and checked as a file, and
# each 32-bit Wine step prints a SKIP line instead of running;
# TESSALINE_REQUIRE_WIN32=1 makes those steps failures. The last line counts
# the builds, the CTest tests and the installer's checks; exits non-zero on
# any failure.
set -uo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
. scripts/wine-common.sh

for tool in cmake ctest ninja wineserver wixl /usr/lib/wine/wine64 i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" > /dev/null || { echo "test-windows.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
read -ra archs <<< "${TESSALINE_WINDOWS_ARCHS:-i686 x86_64}"
parts=" ${TESSALINE_WINDOWS_PARTS:-module installer} "
module='' installer=''
[[ $parts != *" module "* ]] || module=yes
[[ $parts != *" installer "* ]] || installer=yes
build_dir() {
  case $1 in
    i686) echo build-win32 ;;
    x86_64) echo build-win64 ;;
    *) echo "test-windows.sh: unknown architecture $1 (i686 or x86_64)" >&2; return 1 ;;
  esac
}
for arch in "${archs[@]}"; do build_dir "$arch" > /dev/null || exit 2; done
# Whatever is left of a prefix of these tests ends with this script.
trap 'for dir in build-win32 build-win64; do WINEPREFIX=$PWD/$dir/wine-prefix wineserver -k > /dev/null 2>&1; done' EXIT

# Configures and builds ARCH (all of it, or the TARGETS given), logged in
# its build directory.
build() {
  local arch=$1 dir t0=$SECONDS rc
  shift
  dir=$(build_dir "$arch")
  mkdir -p "$dir/wine-logs"
  { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALINE_WERROR="${TESSALINE_WERROR:-OFF}" \
      -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" &&
    cmake --build "$dir" -j "$(nproc)" ${1:+--target "$@"}; } > "$dir/wine-logs/build.log" 2>&1
  rc=$?
  wine_check "build $dir ($((SECONDS - t0)) s)" test $rc = 0 || tail -40 "$dir/wine-logs/build.log"
  return $rc
}

# Runs the CTest tests of DIR one after another (the Wine tests share a
# prefix), shows the checks each test printed (its SKIP line, for a skipped
# one), and counts the tests from the JUnit report: passed, failed (a test
# not run because its fixture failed is a failure), and skipped.
run_ctest() {
  local dir=$1 report=$PWD/$1/wine-logs/ctest.xml counts
  rm -f "$report"
  ctest --test-dir "$dir" --output-on-failure --output-junit "$report"
  if [ ! -f "$report" ]; then
    echo "  FAIL  ctest in $dir wrote no report"
    wine_failed=$((wine_failed + 1))
    return
  fi
  counts=$(awk '
    function unescape(s) {
      gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "\047", s)
      gsub(/&amp;/, "\\&", s); return s
    }
    /<testcase / { status = $0; sub(/.* status="/, "", status); sub(/".*/, "", status); skipped = 0; out = 0 }
    /<skipped message="SKIP_RETURN_CODE=/ { skipped = 1 }
    /<system-out>/ { out = 1; sub(/.*<system-out>/, "") }
    out && /^  (ok|FAIL|SKIP|--) / { line = $0; sub(/<\/system-out>.*/, "", line); print unescape(line) > "/dev/stderr" }
    /<\/system-out>/ { out = 0 }
    /<\/testcase>/ { if (status == "run") p++; else if (status == "notrun" && skipped) s++; else f++ }
    END { print p + 0, f + 0, s + 0 }' "$report")
  read -r p f s <<< "$counts"
  wine_passed=$((wine_passed + p)) wine_failed=$((wine_failed + f)) wine_skipped=$((wine_skipped + s))
}

started=$SECONDS
# Each architecture once: all of it for the module's tests, the packaged
# programs only for the installer's; the x64 package carries the 32-bit DLL.
# An architecture that does not build is not tested.
builds=()
for arch in i686 x86_64; do
  if [[ " ${archs[*]} " == *" $arch "* ]]; then
    if [ -n "$module" ]; then build "$arch"; else build "$arch" tessaline_dll tessaline-cli tessaline-simd; fi &&
      builds+=("$arch")
  elif [ "$arch" = i686 ] && [ -n "$installer" ] && [[ " ${archs[*]} " == *" x86_64 "* ]]; then
    build i686 tessaline_dll tessaline-cli tessaline-simd
  fi
done
if [ -n "$module" ]; then
  for arch in "${builds[@]}"; do
    echo "== $arch"
    run_ctest "$(build_dir "$arch")" 2>&1
  done
fi
if [ -n "$installer" ] && [ ${#builds[@]} -gt 0 ]; then
  packages=()
  for arch in "${builds[@]}"; do
    case $arch in i686) packages+=(x86) ;; x86_64) packages+=(x64) ;; esac
  done
  installer_log=$(mktemp)
  bash scripts/test-installer.sh "${packages[@]}" | tee "$installer_log"
  if read -r _ p _ f _ s _ < <(grep -E '^installer: [0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$installer_log"); then
    wine_passed=$((wine_passed + p)) wine_failed=$((wine_failed + f)) wine_skipped=$((wine_skipped + s))
  else
    echo "  FAIL  test-installer.sh ended without its counts"
    wine_failed=$((wine_failed + 1))
  fi
  rm -f "$installer_log"
fi
echo "== Windows tests took $((SECONDS - started)) s; $wine_skipped steps skipped"
echo "windows: $wine_passed passed, $wine_failed failed, $wine_skipped skipped"
[ "$wine_failed" = 0 ]
