#!/usr/bin/env bash
# Builds Tessaline.dll and its tests for Windows and runs them under Wine.
# For each architecture (32-bit first, then 64-bit):
#   - the export table and the version resource, read on Linux;
#   - a fresh Wine prefix in a temporary directory;
#   - regsvr32 Tessaline.dll, the GoogleTest program, a VBScript run by
#     cscript against the simulated device, regsvr32 /u.
# Logs go to build-win32/wine-logs and build-win64/wine-logs. Exits non-zero
# on any failure; every Wine process is ended on the way out.
#   TESSALINE_WINDOWS_ARCHS=i686 scripts/test-windows.sh   # one architecture
# On a host that cannot run 32-bit programs the 32-bit DLL is still built and
# checked as a file, and each 32-bit Wine step prints a SKIP line instead of
# running; TESSALINE_REQUIRE_WIN32=1 makes those steps failures.
set -uo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/wine-common.sh

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # never offer to install Mono or Gecko
unset DISPLAY WAYLAND_DISPLAY               # headless: no windows, no prompts

work=$(mktemp -d "${TMPDIR:-/tmp}/tessaline-wine.XXXXXX")
prefixes=()
simd_pid=
cleanup() {
  [ -n "$simd_pid" ] && kill "$simd_pid" 2>/dev/null
  for prefix in "${prefixes[@]}"; do
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
  done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0 passes=0
pass() { echo "  ok    $*"; passes=$((passes + 1)); }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }
skip32() { wine32_skip "$1" || failures=$((failures + 1)); }
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
crlf() { tr -d '\r' < "$1"; }  # Wine's console output ends its lines in CR LF

run_arch() {
  local arch=$1 bits dir wine winearch tools
  case $arch in
    i686) bits=32 dir=build-win32 winearch=win32 tools=i686-w64-mingw32 ;;
    x86_64) bits=64 dir=build-win64 winearch=win64 tools=x86_64-w64-mingw32 ;;
    *) fail "unknown architecture $arch"; return ;;
  esac
  echo "== $arch"
  local started=$SECONDS logs=$root/$dir/wine-logs bin=$root/$dir/bin
  wine=$(wine_loader "$bits")
  mkdir -p "$logs"

  if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALINE_WERROR="${TESSALINE_WERROR:-OFF}" \
           -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" &&
         cmake --build "$dir" -j "$(nproc)"; } > "$logs/build.log" 2>&1; then
    fail "build $dir"
    tail -40 "$logs/build.log"
    return
  fi
  pass "build $dir ($((SECONDS - started)) s)"

  # The module as a file: exactly four exports under the name Tessaline.DLL,
  # system DLLs only, and the version resource.
  "$tools-objdump" -p "$bin/Tessaline.dll" > "$logs/objdump.txt"
  local exports imports foreign
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$logs/objdump.txt" |
            awk 'NR > 1 && /\[/ {print $NF}' | sort | tr '\n' ' ')
  check "exports: $exports" test "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
  check "export directory names Tessaline.DLL" grep -qE '^Name[[:space:]]+[0-9a-f]+ Tessaline\.DLL$' "$logs/objdump.txt"
  imports=$(awk '/DLL Name:/ {print $3}' "$logs/objdump.txt" | tr '\n' ' ')
  foreign=$(awk '/DLL Name:/ {print $3}' "$logs/objdump.txt" |
            grep -viE '^(ADVAPI32|KERNEL32|msvcrt|ole32|OLEAUT32|SETUPAPI|USER32)\.dll$')
  check "imports system DLLs only: $imports" test -z "$foreign"
  # The version and the class identity, as this build says it made them.
  local TESSALINE_VERSION TESSALINE_VERSION_COMMAS TESSALINE_USBFAX_CLSID TESSALINE_USBFAX_PROGID
  . "$root/$dir/identity.sh"
  "$tools-windres" -i "$bin/Tessaline.dll" -O rc > "$logs/resources.rc" 2>&1
  local want
  for want in "FILEVERSION $TESSALINE_VERSION_COMMAS" "PRODUCTVERSION $TESSALINE_VERSION_COMMAS" \
              'VALUE "FileDescription", "FAX COM API Server"' "VALUE \"FileVersion\", \"$TESSALINE_VERSION\"" \
              "VALUE \"ProductVersion\", \"$TESSALINE_VERSION\"" 'VALUE "InternalName", "Tessaline.dll"' \
              'VALUE "OriginalFilename", "Tessaline.dll"' '100, "Tessaline"' '1 "TYPELIB"'; do
    check "resource: $want" grep -qF "$want" "$logs/resources.rc"
  done

  if [ "$bits" = 32 ] && ! wine32_runs; then
    local step
    for step in "fresh $winearch prefix" "regsvr32 Tessaline.dll" "tessaline_windows_tests" \
                "cscript objects.vbs" "regsvr32 /u Tessaline.dll" "unregistered: no class keys"; do
      skip32 "$step"
    done
    echo "   $arch took $((SECONDS - started)) s"
    return
  fi

  # A fresh prefix; its server stays up until this architecture is done.
  export WINEPREFIX=$work/prefix$bits WINEARCH=$winearch
  prefixes+=("$WINEPREFIX")
  local t0=$SECONDS rc
  timeout 600 "$wine" wineboot --init > "$logs/wineboot.log" 2>&1
  rc=$?
  wineserver -w
  check "fresh $winearch prefix ($((SECONDS - t0)) s)" test $rc = 0
  [ $rc = 0 ] || return
  wineserver -p

  cd "$bin" || return
  timeout 120 "$wine" regsvr32 /s Tessaline.dll
  rc=$?
  check "regsvr32 Tessaline.dll (exit $rc)" test $rc = 0

  t0=$SECONDS
  timeout 900 "$wine" tessaline_windows_tests.exe > "$logs/tests.log" 2>&1
  rc=$?
  local summary
  summary=$(crlf "$logs/tests.log" | grep -E '^\[  (PASSED|FAILED) +\]' | head -1)
  check "tessaline_windows_tests: ${summary:-no summary} ($((SECONDS - t0)) s)" test $rc = 0
  if [ $rc != 0 ]; then
    crlf "$logs/tests.log" | grep -vE '^\[ +(RUN|OK) +\]' | tail -60
  fi

  # A script host creates the objects by ProgID; the simulated device serves
  # the pipes its calls go to. cscript ends silently on a script error, so the
  # script's own last line is the verdict.
  local name=vbs$bits
  "$wine" tessaline-simd.exe --name "$name" > "$logs/simd.log" 2>&1 &
  simd_pid=$!
  local i
  for i in $(seq 300); do
    crlf "$logs/simd.log" | grep -q '^ready ' && break
    sleep 0.1
  done
  check "tessaline-simd.exe serves: $(crlf "$logs/simd.log" | head -1)" grep -q '^ready ' "$logs/simd.log"
  (cd "$root/tests/windows" &&
   TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-'"$name"'-fax' \
   TESSALINE_EWS_DEVICE='\\.\pipe\tessaline-'"$name"'-ews' \
   timeout 120 "$wine" cscript //nologo objects.vbs) > "$logs/vbs.log" 2>&1
  rc=$?
  summary=$(crlf "$logs/vbs.log" | tail -1)
  check "cscript objects.vbs: ${summary:-no output} (exit $rc)" \
    bash -c '[[ $1 =~ ^[0-9]+\ passed,\ 0\ failed$ ]] && [ "$2" = 0 ]' _ "$summary" "$rc"
  [ $rc = 0 ] || crlf "$logs/vbs.log"
  kill "$simd_pid" 2>/dev/null
  wait "$simd_pid" 2>/dev/null
  simd_pid=

  timeout 120 "$wine" regsvr32 /u /s Tessaline.dll
  rc=$?
  check "regsvr32 /u Tessaline.dll (exit $rc)" test $rc = 0
  timeout 60 "$wine" reg query "HKCR\\$TESSALINE_USBFAX_PROGID" > /dev/null 2>&1
  check "unregistered: no $TESSALINE_USBFAX_PROGID key" test $? != 0
  timeout 60 "$wine" reg query "HKCR\\CLSID\\$TESSALINE_USBFAX_CLSID" > /dev/null 2>&1
  check "unregistered: no USBFAX class key" test $? != 0

  cd "$root" || return
  wineserver -k
  wineserver -w
  unset WINEPREFIX WINEARCH
  echo "   $arch took $((SECONDS - started)) s"
}

for tool in cmake ninja wineserver /usr/lib/wine/wine64 i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" > /dev/null || { echo "test-windows.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
started=$SECONDS
for arch in ${TESSALINE_WINDOWS_ARCHS:-i686 x86_64}; do
  run_arch "$arch"
done
echo "== Windows tests took $((SECONDS - started)) s; $wine_skipped 32-bit steps skipped"
echo "windows: $passes passed, $failures failed, $wine_skipped skipped"
[ $failures = 0 ]
