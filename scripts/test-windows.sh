#!/usr/bin/env bash
# Builds Tessaline.dll and its tests for Windows and runs them under Wine.
# For each architecture (32-bit first, then 64-bit):
#   - the export table and the version resource, read on Linux;
#   - a fresh Wine prefix in a temporary directory;
#   - regsvr32 Tessaline.dll; tessaline-simd.exe --driver installing the
#     simulated device's driver and serving it, a VBScript run by cscript
#     finding it by discovery, its clean stop; the GoogleTest programs (which
#     serve the device themselves, through the driver and behind pipes: the
#     Windows tests and the fault table); in the
#     64-bit prefix, the 32-bit tests through the 64-bit driver; the VBScript
#     against the pipes; --remove-driver and the VBScript with no device;
#     regsvr32 /u.
# Logs go to build-win32/wine-logs and build-win64/wine-logs. Exits non-zero
# on any failure; every Wine process is ended on the way out.
# Then, for each architecture, the installer package in a fresh prefix
# (run_installer below).
#   TESSALINE_WINDOWS_ARCHS=i686 scripts/test-windows.sh   # one architecture
#   TESSALINE_WINDOWS_PARTS=installer scripts/test-windows.sh  # module or installer only
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
# Starts tessaline-simd.exe (or the program $simd names) in the background
# with the given options and waits (up to 60 s) for its ready line in LOG.
start_simd() {
  local log=$1 i
  shift
  "$wine" "${simd:-tessaline-simd.exe}" "$@" > "$log" 2>&1 &
  simd_pid=$!
  for i in $(seq 600); do
    crlf "$log" | grep -q '^ready ' && return
    kill -0 "$simd_pid" 2>/dev/null || return
    sleep 0.1
  done
}

# Stops the tessaline-simd.exe started last with its own --stop and checks
# that it ends, with status 0.
stop_simd() {
  timeout 60 "$wine" "${simd:-tessaline-simd.exe}" "$@" --stop
  local i rc=running
  for i in $(seq 300); do
    kill -0 "$simd_pid" 2>/dev/null || { wait "$simd_pid"; rc=$?; break; }
    sleep 0.1
  done
  check "tessaline-simd.exe $* --stop: it ends (exit $rc)" test "$rc" = 0
  kill "$simd_pid" 2>/dev/null
  simd_pid=
}

# Runs a GoogleTest program (LABEL, its LOG, the command) and checks its
# verdict; on failure shows what failed.
run_gtest() {
  local label=$1 log=$2 t0=$SECONDS rc summary
  shift 2
  timeout 900 "$@" > "$log" 2>&1
  rc=$?
  summary=$(crlf "$log" | grep -E '^\[  (PASSED|FAILED) +\]' | head -1)
  check "$label: ${summary:-no summary} ($((SECONDS - t0)) s)" test $rc = 0
  [ $rc = 0 ] || crlf "$log" | grep -vE '^\[ +(RUN|OK) +\]' | tail -60
}

# A script host creates the objects by ProgID and calls them (see
# objects.vbs for MODE). cscript ends silently on a script error, so the
# script's own last line is the verdict.
run_vbs() {
  local mode=$1 rc summary
  (cd "$root/tests/windows" && timeout 120 "$wine" cscript //nologo objects.vbs "$mode") \
    > "$logs/vbs-$mode.log" 2>&1
  rc=$?
  summary=$(crlf "$logs/vbs-$mode.log" | tail -1)
  check "cscript objects.vbs $mode: ${summary:-no output} (exit $rc)" \
    bash -c '[[ $1 =~ ^[0-9]+\ passed,\ 0\ failed$ ]] && [ "$2" = 0 ]' _ "$summary" "$rc"
  [ $rc = 0 ] || crlf "$logs/vbs-$mode.log"
}

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
    for step in "fresh $winearch prefix" "regsvr32 Tessaline.dll" "tessaline-simd.exe --driver" \
                "cscript objects.vbs driver" \
                "tessaline.exe count through the driver" "tessaline.exe --timeout 2 wait through the driver" \
                "tessaline_windows_tests" "fault_table_tests" "ctl_test.sh driver" "ctl_test.sh pipes" \
                "cscript objects.vbs pipe" \
                "tessaline-simd.exe --remove-driver" "cscript objects.vbs absent" "tessaline.exe" "regsvr32 /u Tessaline.dll" \
                "unregistered: no class keys"; do
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

  # The simulated device through its driver, as a user starts it: installed
  # into the fresh prefix, served, found by discovery from a script host with
  # no device path set, and stopped cleanly.
  t0=$SECONDS
  start_simd "$logs/simd-driver.log" --driver
  check "tessaline-simd.exe --driver installs and serves ($((SECONDS - t0)) s): $(crlf "$logs/simd-driver.log" | head -1)" \
    grep -q '^ready fax=\\\\?\\.*783e1d39.* ews=\\\\?\\.*b72f809c' <(crlf "$logs/simd-driver.log")
  run_vbs driver
  # tessaline.exe finds the same device by discovery, and its time limit
  # releases a wait through CancelIO (the pipes take no wait).
  timeout 60 "$wine" tessaline.exe --json count > "$logs/cli-driver.log" 2>&1
  rc=$?
  check "tessaline.exe count through the driver: $(crlf "$logs/cli-driver.log" | head -1) (exit $rc)" \
    grep -q '"status":0,.*"exit_status":0' "$logs/cli-driver.log"
  t0=$SECONDS
  timeout 60 "$wine" tessaline.exe --timeout 2 wait > "$logs/cli-wait.log" 2>&1
  rc=$?
  check "tessaline.exe --timeout 2 wait through the driver: exit $rc after $((SECONDS - t0)) s: $(crlf "$logs/cli-wait.log" | tail -1)" \
    test "$rc" = 124
  stop_simd --driver

  run_gtest tessaline_windows_tests "$logs/tests.log" "$wine" tessaline_windows_tests.exe
  # The fault table of the Linux build, through the Win32 platform layer and
  # the driver.
  run_gtest fault_table_tests "$logs/fault-table.log" "$wine" fault_table_tests.exe

  # The 32-bit DLL in a 64-bit prefix, against the 64-bit driver, as on
  # 64-bit Windows.
  if [ "$bits" = 64 ]; then
    local win32_tests=$root/build-win32/bin/tessaline_windows_tests.exe
    if ! wine32_runs; then
      skip32 "tessaline_windows_tests through the 64-bit driver"
    elif [ ! -f "$win32_tests" ]; then
      echo "  --    32-bit tests through the 64-bit driver: build-win32 not built in this run"
    else
      run_gtest "32-bit tessaline_windows_tests through the 64-bit driver" "$logs/tests-wow64.log" \
        "$(wine_loader 32)" "$win32_tests" --gtest_filter='Fronts/*/Driver'
    fi
  fi

  # The device driven through its control pipe while a host uses it, served
  # through the driver and behind pipes.
  local ctl_mode
  for ctl_mode in driver pipes; do
    t0=$SECONDS
    bash "$root/tests/windows/ctl_test.sh" "$wine" "$bin" "$ctl_mode" > "$logs/ctl-$ctl_mode.log" 2>&1
    rc=$?
    check "ctl_test.sh $ctl_mode: $(tail -1 "$logs/ctl-$ctl_mode.log") ($((SECONDS - t0)) s)" test $rc = 0
    [ $rc = 0 ] || grep '^FAIL' "$logs/ctl-$ctl_mode.log" | head -20
  done

  # The script host against the pipes, named explicitly.
  local name=vbs$bits
  start_simd "$logs/simd-pipe.log" --name "$name"
  check "tessaline-simd.exe serves the pipes: $(crlf "$logs/simd-pipe.log" | head -1)" \
    grep -q '^ready ' "$logs/simd-pipe.log"
  TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-'"$name"'-fax' \
  TESSALINE_EWS_DEVICE='\\.\pipe\tessaline-'"$name"'-ews' run_vbs pipe
  stop_simd --name "$name"

  # The driver's devices removed: discovery finds nothing.
  local removed
  removed=$(timeout 120 "$wine" tessaline-simd.exe --remove-driver 2>&1 | tr -d '\r')
  check "tessaline-simd.exe --remove-driver: $removed" test "$removed" = "removed 3 devices"
  run_vbs absent

  # tessaline.exe, a host of the registered DLL, against a device of its own.
  t0=$SECONDS
  bash "$root/tests/windows/cli_test.sh" "$wine" "$bin" > "$logs/cli.log" 2>&1
  rc=$?
  check "tessaline.exe: $(tail -1 "$logs/cli.log") ($((SECONDS - t0)) s)" test $rc = 0
  [ $rc = 0 ] || grep '^FAIL' "$logs/cli.log" | head -20

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

# The registry entries of Tessaline in the current prefix (see
# tests/windows/registry_entries.awk), sorted; the server is ended first so
# that system.reg holds everything.
registry_entries() {
  wineserver -k; wineserver -w
  awk -f "$root/tests/windows/registry_entries.awk" "$WINEPREFIX/system.reg" | LC_ALL=C sort
}
# The entries that registering the 32-bit module too adds to those of the
# 64-bit registration (on standard input), as the platform places them. The
# classes (CLSID) and the interfaces (Interface) have a key in each view:
# their rows come again in the 32-bit view, with the 32-bit module's path.
# The other keys (the ProgIDs, AppID, TypeLib) are one key for both views:
# the type library gains the 32-bit module's win32 entry, and its help
# directory is the 32-bit folder (the first module registered names it).
derive_32bit_rows() {
  local x86='C:\\Program Files (x86)\\Tessaline' x64='C:\\Program Files\\Tessaline' rows
  rows=$(cat)
  { grep -v '\\1\.0\\helpdir|' <<< "$rows"
    grep -E '^64\|(clsid|interface)\\' <<< "$rows" | sed "s/^64|/32|/; s/$x64/$x86/"
    grep -E '\\409\\win64\|' <<< "$rows" | sed "s/win64|/win32|/; s/$x64/$x86/"
    grep -E '\\1\.0\\helpdir\|' <<< "$rows" | sed "s/$x64/$x86/"
  } | LC_ALL=C sort -u
}
registry_key() {  # present or absent
  wineserver -k; wineserver -w
  awk -v present="$1" -f "$root/tests/windows/registry_entries.awk" "$WINEPREFIX/system.reg"
}
system_path() {
  timeout 60 "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v Path |
    tr -d '\r' | grep -i 'Path.*REG_'
}
installed_products() {  # DisplayVersion of every product named Tessaline in the list of installed programs
  wineserver -k; wineserver -w
  awk '/^\[/ { name = 0; version = ""; listed = index($0, "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\") == 1 }
       listed && /^"DisplayName"="Tessaline"$/ { name = 1 }
       /^"DisplayVersion"=/ { version = $0; sub(/^"DisplayVersion"="/, "", version); sub(/"$/, "", version) }
       /^$/ && name { print version; name = 0 }' "$WINEPREFIX/system.reg" | tr '\n' ' '
}

# The Windows Installer package of one architecture in a fresh prefix of the
# same architecture: installed silently over an older build of itself, its
# registry entries those that registering each DLL in its own view writes,
# both objects created by ProgID from script hosts (the examples, run by
# cscript against the simulated device), and after a silent uninstall no file
# and no entry left.
run_installer() {
  local arch=$1 bits winearch
  case $arch in
    x86) bits=32 winearch=win32 ;;
    x64) bits=64 winearch=win64 ;;
  esac
  echo "== installer $arch"
  local started=$SECONDS logs=$root/build-installer/wine-logs
  mkdir -p "$logs"
  if [ "$bits" = 32 ] && ! wine32_runs; then
    local step
    for step in "install $arch package over an older build" "$arch package entries" \
                "examples under cscript" "uninstall $arch package"; do
      skip32 "$step"
    done
    return
  fi
  if ! { bash scripts/build-windows.sh &&
         TESSALINE_MSI_VERSION=0.0.1.0 bash scripts/build-windows.sh; } > "$logs/build-$arch.log" 2>&1; then
    fail "build the $arch package"
    tail -20 "$logs/build-$arch.log"
    return
  fi
  # The build's version; the older build is numbered below any release.
  local TESSALINE_VERSION TESSALINE_VERSION_COMMAS TESSALINE_USBFAX_CLSID TESSALINE_USBFAX_PROGID
  . "$root/build-win$bits/identity.sh"
  local version=$TESSALINE_VERSION
  local package=$root/build-installer/Tessaline-$version-$arch.msi older=$root/build-installer/Tessaline-0.0.1.0-$arch.msi
  pass "build $(basename "$package") and an older build of it"

  local wine
  wine=$(wine_loader "$bits")
  export WINEPREFIX=$work/installer-$arch WINEARCH=$winearch
  prefixes+=("$WINEPREFIX")
  timeout 600 "$wine" wineboot --init > "$logs/wineboot-$arch.log" 2>&1
  local rc=$?
  wineserver -w
  check "fresh $winearch prefix" test $rc = 0
  [ $rc = 0 ] || return
  # Some other program's 32-bit class, so that the 32-bit view's CLSID key is
  # not empty when the package leaves it (Wine's msiexec deletes parent keys
  # that it leaves empty).
  timeout 60 "$wine" reg add 'HKLM\Software\Classes\CLSID\{0E5A6A2C-3C17-4A53-9A1B-000000000001}' /ve /d Other /f /reg:32 > /dev/null 2>&1

  local path_before
  path_before=$(system_path)
  local c=$WINEPREFIX/drive_c pf32 pf64
  cp "$package" "$c/new.msi"; cp "$older" "$c/old.msi"
  if [ "$bits" = 64 ]; then pf32="$c/Program Files (x86)/Tessaline" pf64="$c/Program Files/Tessaline"
  else pf32="$c/Program Files/Tessaline" pf64=; fi
  timeout 300 "$wine" msiexec /qn /i 'C:\old.msi' /l*v 'C:\install-old.log'
  rc=$?
  check "msiexec /qn /i older build (exit $rc)" test $rc = 0
  local products
  products=$(installed_products)
  check "the older build installed: $products" test "$products" = "0.0.1.0 "
  timeout 300 "$wine" msiexec /qn /i 'C:\new.msi' /l*v 'C:\install.log'
  rc=$?
  check "msiexec /qn /i $(basename "$package") over it (exit $rc)" test $rc = 0
  products=$(installed_products)
  check "one product installed, the newer: $products" test "$products" = "$version "
  local files_ok=true
  cmp -s "$root/build-win32/bin/Tessaline.dll" "$pf32/Tessaline.dll" || files_ok=false
  [ -z "$pf64" ] || cmp -s "$root/build-win64/bin/Tessaline.dll" "$pf64/Tessaline.dll" || files_ok=false
  cmp -s "$root/build-win$bits/bin/tessaline.exe" "${pf64:-$pf32}/tessaline.exe" || files_ok=false
  check "each Tessaline.dll in its own Program Files folder, tessaline.exe beside the native one" $files_ok
  local examples=${pf64:-$pf32}/examples
  check "examples and headers installed" test -f "$examples/fax-watch.vbs" -a -f "$examples/fax-cancel.js" \
    -a -f "$examples/../include/tessaline/tessaline.h" -a -f "$examples/../include/tessaline/fax_types.h"
  registry_entries > "$logs/installed-$arch.txt"

  # Script hosts of the prefix's own architecture create both objects by
  # ProgID; the simulated device serves the pipes. The pipe takes no
  # device-control request, so the wait and the cancel report status 2.
  local name=msi$arch
  local simd=$root/build-win$bits/bin/tessaline-simd.exe
  start_simd "$logs/simd-$arch.log" --name "$name"
  check "tessaline-simd.exe serves: $(crlf "$logs/simd-$arch.log" | head -1)" grep -q '^ready ' "$logs/simd-$arch.log"
  local script want
  for script in fax-watch.vbs fax-cancel.js; do
    case $script in
      fax-watch.vbs) want=$'device: FAXSTATUS_OK (0)\nwaiting for a received-fax event\nwait ended: FAXSTATUS_CMD_FAIL (2)' ;;
      fax-cancel.js) want=$'cancel: FAXSTATUS_CMD_FAIL (2)\nEWS channel open: FAXSTATUS_OK (0)\nEWS channel close: FAXSTATUS_OK (0)' ;;
    esac
    (cd "$examples" &&
     TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-'"$name"'-fax' \
     TESSALINE_EWS_DEVICE='\\.\pipe\tessaline-'"$name"'-ews' \
     timeout 120 "$wine" cscript //nologo "$script") > "$logs/$script-$arch.log" 2>&1
    rc=$?
    check "cscript $script from the installed examples (exit $rc)" \
      bash -c '[ "$(tr -d "\r" < "$1")" = "$2" ] && [ "$3" = 2 ]' _ "$logs/$script-$arch.log" "$want" "$rc"
    [ $rc = 2 ] || crlf "$logs/$script-$arch.log"
  done
  if [ "$bits" = 64 ]; then
    if wine32_runs; then
      (cd "$examples" &&
       TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-'"$name"'-fax' \
       TESSALINE_EWS_DEVICE='\\.\pipe\tessaline-'"$name"'-ews' \
       timeout 120 "$(wine_loader 32)" 'C:\windows\syswow64\cscript.exe' //nologo fax-cancel.js) > "$logs/cancel32-$arch.log" 2>&1
      rc=$?
      check "32-bit cscript fax-cancel.js in the 64-bit prefix (exit $rc)" \
        bash -c '[ "$(tr -d "\r" < "$1")" = "$2" ] && [ "$3" = 2 ]' _ "$logs/cancel32-$arch.log" \
        $'cancel: FAXSTATUS_CMD_FAIL (2)\nEWS channel open: FAXSTATUS_OK (0)\nEWS channel close: FAXSTATUS_OK (0)' "$rc"
    else
      skip32 "cscript fax-cancel.js in the 64-bit prefix"
    fi
  fi
  # tessaline.exe from the system's PATH, hosting the installed DLL.
  (cd "$c" && TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-'"$name"'-fax' \
   timeout 60 "$wine" cmd /c tessaline --json count) > "$logs/path-$arch.log" 2>&1
  rc=$?
  check "tessaline on the PATH: $(crlf "$logs/path-$arch.log" | head -1) (exit $rc)" \
    bash -c '[ "$(tr -d "\r" < "$1")" = "$2" ] && [ "$3" = 0 ]' _ "$logs/path-$arch.log" \
    '{"command":"count","status":0,"status_name":"FAXSTATUS_OK","count":0,"more_may_exist":false,"exit_status":0}' "$rc"
  stop_simd --name "$name"

  timeout 300 "$wine" msiexec /qn /x 'C:\new.msi' /l*v 'C:\uninstall.log'
  rc=$?
  check "msiexec /qn /x (exit $rc)" test $rc = 0
  local left
  left=$(registry_entries)
  check "uninstalled: no entry left${left:+: $(echo "$left" | head -3 | tr '\n' ' ')}" test -z "$left"
  check "uninstalled: no product" test -z "$(installed_products)"
  check "uninstalled: no folder left" test ! -e "$pf32" -a ! -e "${pf64:-$pf32}"
  local path_after
  path_after=$(system_path)
  check "uninstalled: the system's PATH as before" test "$path_after" = "$path_before"
  local key
  for key in AppID CLSID ${pf64:+Wow6432Node\\CLSID}; do
    check "uninstalled: the $key key stays" test "$(registry_key "$key")" = present
  done

  # The reference: the same files registered by their own DllRegisterServer,
  # the 32-bit one first, each by a host of its architecture. Where the host
  # runs no 32-bit programs, the 64-bit registration alone is made and the
  # 32-bit rows are derived from it; where it does, the derivation is
  # checked against the real thing first, so that it stays true.
  mkdir -p "$pf32" ${pf64:+"$pf64"}
  cp "$root/build-win32/bin/Tessaline.dll" "$pf32/"
  [ -z "$pf64" ] || cp "$root/build-win64/bin/Tessaline.dll" "$pf64/"
  local registered=true derived= w32 w64
  if [ "$bits" = 64 ]; then
    w32='C:\Program Files (x86)\Tessaline\Tessaline.dll' w64='C:\Program Files\Tessaline\Tessaline.dll'
    timeout 120 "$wine" regsvr32 /s "$w64" || registered=false
    registry_entries | derive_32bit_rows > "$logs/derived-$arch.txt"
    if wine32_runs; then
      timeout 120 "$wine" regsvr32 /u /s "$w64" || registered=false
      timeout 120 "$(wine_loader 32)" 'C:\windows\syswow64\regsvr32.exe' /s "$w32" || registered=false
      timeout 120 "$wine" regsvr32 /s "$w64" || registered=false
    else
      derived=yes
    fi
  else
    w32='C:\Program Files\Tessaline\Tessaline.dll'
    timeout 120 "$wine" regsvr32 /s "$w32" || registered=false
  fi
  if [ -n "$derived" ]; then
    cp "$logs/derived-$arch.txt" "$logs/expected-$arch.txt"
  else
    registry_entries > "$logs/expected-$arch.txt"
  fi
  if [ "$bits" = 64 ] && [ -z "$derived" ]; then
    check "the 32-bit rows derived from the 64-bit registration are those the 32-bit registration writes" \
      cmp -s "$logs/derived-$arch.txt" "$logs/expected-$arch.txt"
    cmp -s "$logs/derived-$arch.txt" "$logs/expected-$arch.txt" ||
      diff "$logs/expected-$arch.txt" "$logs/derived-$arch.txt" | head -20
  fi
  check "DllRegisterServer of the installed files (${derived:+64-bit only, }exit status)" $registered
  check "$arch package writes exactly the entries that registration writes$([ -n "$derived" ] && echo ' (32-bit rows derived)')" \
    cmp -s "$logs/installed-$arch.txt" "$logs/expected-$arch.txt"
  cmp -s "$logs/installed-$arch.txt" "$logs/expected-$arch.txt" ||
    diff "$logs/expected-$arch.txt" "$logs/installed-$arch.txt" | head -20

  wineserver -k; wineserver -w
  unset WINEPREFIX WINEARCH
  echo "   installer $arch took $((SECONDS - started)) s"
}

for tool in cmake ninja wineserver wixl /usr/lib/wine/wine64 i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" > /dev/null || { echo "test-windows.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
started=$SECONDS
parts=" ${TESSALINE_WINDOWS_PARTS:-module installer} "
if [[ $parts == *" module "* ]]; then
  for arch in ${TESSALINE_WINDOWS_ARCHS:-i686 x86_64}; do
    run_arch "$arch"
  done
fi
if [[ $parts == *" installer "* ]]; then
  for arch in ${TESSALINE_WINDOWS_ARCHS:-i686 x86_64}; do
    case $arch in i686) run_installer x86 ;; x86_64) run_installer x64 ;; esac
  done
fi
echo "== Windows tests took $((SECONDS - started)) s; $wine_skipped 32-bit steps skipped"
echo "windows: $passes passed, $failures failed, $wine_skipped skipped"
[ $failures = 0 ]
