#!/usr/bin/env bash
# The Windows Installer packages under Wine, each in a fresh prefix of its
# own architecture: installed silently over an older build of itself, its
# registry entries those that registering each DLL in its own view writes,
# both objects created by ProgID from script hosts (the examples, run by
# cscript against the simulated device), tessaline.exe found on the PATH,
# and after a silent uninstall no file and no entry left.
#   scripts/test-installer.sh [x86] [x64]     (both by default)
# The packages are made from the builds in build-win32 (both packages) and
# build-win64 (the x64 package), which must be there (scripts/build-windows.sh
# or scripts/test-windows.sh makes them); logs go to build-installer/wine-logs.
# Where this host runs no 32-bit programs, the 32-bit steps print a SKIP
# line (failures with TESSALINE_REQUIRE_WIN32=1). The last line is
# "installer: N passed, N failed, N skipped"; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/wine-common.sh
wine_headless

work=$(mktemp -d "${TMPDIR:-/tmp}/tessaline-installer.XXXXXX")
logs=$root/build-installer/wine-logs
prefixes=()
cleanup() {
  [ -z "$simd_pid" ] || kill "$simd_pid" 2>/dev/null
  for prefix in "${prefixes[@]}"; do
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
  done
  rm -rf "$work"
}
trap cleanup EXIT
skip32() { wine32_skip "$1" || wine_failed=$((wine_failed + 1)); }

# The registry entries of Tessaline in the prefix $WINEPREFIX (see
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
registry_key() {  # KEY: present or absent
  wineserver -k; wineserver -w
  awk -v present="$1" -f "$root/tests/windows/registry_entries.awk" "$WINEPREFIX/system.reg"
}
system_path() {  # LOADER
  timeout 60 "$1" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v Path |
    tr -d '\r' | grep -i 'Path.*REG_'
}
installed_products() {  # DisplayVersion of every product named Tessaline in the list of installed programs
  wineserver -k; wineserver -w
  awk '/^\[/ { name = 0; version = ""; listed = index($0, "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\") == 1 }
       listed && /^"DisplayName"="Tessaline"$/ { name = 1 }
       /^"DisplayVersion"=/ { version = $0; sub(/^"DisplayVersion"="/, "", version); sub(/"$/, "", version) }
       /^$/ && name { print version; name = 0 }' "$WINEPREFIX/system.reg" | tr '\n' ' '
}
# Whether LOG holds exactly WANT (CR LF line ends taken off) and the script
# host exited with RC.
host_said() {  # LOG WANT RC EXPECTED_RC
  [ "$(crlf "$1")" = "$2" ] && [ "$3" = "$4" ]
}

# The packages of this build (ARCHS as build-windows.sh names them) and an
# older build of each, numbered below any release.
build_packages() {
  { bash scripts/build-windows.sh --packages-only "$@" &&
    TESSALINE_MSI_VERSION=0.0.1.0 bash scripts/build-windows.sh --packages-only "$@"; } > "$logs/packages.log" 2>&1
}

# The package of ARCH (x86 or x64) at VERSION, and its older build, in a
# fresh prefix.
test_package() {
  local arch=$1 version=$2 bits winearch
  case $arch in
    x86) bits=32 winearch=win32 ;;
    x64) bits=64 winearch=win64 ;;
  esac
  echo "== installer $arch"
  local started=$SECONDS wine
  wine=$(wine_loader "$bits")
  local package=$root/build-installer/Tessaline-$version-$arch.msi older=$root/build-installer/Tessaline-0.0.1.0-$arch.msi
  export WINEPREFIX=$work/installer-$arch WINEARCH=$winearch
  prefixes+=("$WINEPREFIX")
  timeout 600 "$wine" wineboot --init > "$logs/wineboot-$arch.log" 2>&1
  local rc=$?
  wineserver -w
  wine_check "fresh $winearch prefix" test $rc = 0
  [ $rc = 0 ] || return
  # Some other program's 32-bit class, so that the 32-bit view's CLSID key is
  # not empty when the package leaves it (Wine's msiexec deletes parent keys
  # that it leaves empty).
  timeout 60 "$wine" reg add 'HKLM\Software\Classes\CLSID\{0E5A6A2C-3C17-4A53-9A1B-000000000001}' /ve /d Other /f /reg:32 > /dev/null 2>&1

  local path_before
  path_before=$(system_path "$wine")
  local c=$WINEPREFIX/drive_c pf32 pf64
  cp "$package" "$c/new.msi"; cp "$older" "$c/old.msi"
  if [ "$bits" = 64 ]; then pf32="$c/Program Files (x86)/Tessaline" pf64="$c/Program Files/Tessaline"
  else pf32="$c/Program Files/Tessaline" pf64=; fi
  timeout 300 "$wine" msiexec /qn /i 'C:\old.msi' /l*v 'C:\install-old.log'
  rc=$?
  wine_check "msiexec /qn /i older build (exit $rc)" test $rc = 0
  local products
  products=$(installed_products)
  wine_check "the older build installed: $products" test "$products" = "0.0.1.0 "
  timeout 300 "$wine" msiexec /qn /i 'C:\new.msi' /l*v 'C:\install.log'
  rc=$?
  wine_check "msiexec /qn /i $(basename "$package") over it (exit $rc)" test $rc = 0
  products=$(installed_products)
  wine_check "one product installed, the newer: $products" test "$products" = "$version "
  local files_ok=true
  cmp -s "$root/build-win32/bin/Tessaline.dll" "$pf32/Tessaline.dll" || files_ok=false
  [ -z "$pf64" ] || cmp -s "$root/build-win64/bin/Tessaline.dll" "$pf64/Tessaline.dll" || files_ok=false
  cmp -s "$root/build-win$bits/bin/tessaline.exe" "${pf64:-$pf32}/tessaline.exe" || files_ok=false
  wine_check "each Tessaline.dll in its own Program Files folder, tessaline.exe beside the native one" $files_ok
  local examples=${pf64:-$pf32}/examples
  wine_check "examples and headers installed" test -f "$examples/fax-watch.vbs" -a -f "$examples/fax-cancel.js" \
    -a -f "$examples/../include/tessaline/tessaline.h" -a -f "$examples/../include/tessaline/fax_types.h"
  registry_entries > "$logs/installed-$arch.txt"

  # Script hosts of the prefix's own architecture create both objects by
  # ProgID; the simulated device serves the pipes. The pipe takes no
  # device-control request, so the wait and the cancel report status 2.
  local name=msi$arch simd=$root/build-win$bits/bin/tessaline-simd.exe
  local fax='\\.\pipe\tessaline-'"$name"'-fax' ews='\\.\pipe\tessaline-'"$name"'-ews'
  local cancelled=$'cancel: FAXSTATUS_CMD_FAIL (2)\nEWS channel open: FAXSTATUS_OK (0)\nEWS channel close: FAXSTATUS_OK (0)'
  simd_start "$wine" "$simd" "$logs/simd-$arch.log" --name "$name"
  wine_check "tessaline-simd.exe serves: $(crlf "$logs/simd-$arch.log" | head -1)" grep -q '^ready ' <(crlf "$logs/simd-$arch.log")
  local script want log
  for script in fax-watch.vbs fax-cancel.js; do
    case $script in
      fax-watch.vbs) want=$'device: FAXSTATUS_OK (0)\nwaiting for a received-fax event\nwait ended: FAXSTATUS_CMD_FAIL (2)' ;;
      fax-cancel.js) want=$cancelled ;;
    esac
    log=$logs/$script-$arch.log
    (cd "$examples" && TESSALINE_FAX_DEVICE=$fax TESSALINE_EWS_DEVICE=$ews \
     timeout 120 "$wine" cscript //nologo "$script") > "$log" 2>&1
    rc=$?
    wine_check "cscript $script from the installed examples (exit $rc)" host_said "$log" "$want" "$rc" 2
    [ $rc = 2 ] || crlf "$log"
  done
  if [ "$bits" = 64 ]; then
    if wine32_runs; then
      log=$logs/cancel32-$arch.log
      (cd "$examples" && TESSALINE_FAX_DEVICE=$fax TESSALINE_EWS_DEVICE=$ews \
       timeout 120 "$(wine_loader 32)" 'C:\windows\syswow64\cscript.exe' //nologo fax-cancel.js) > "$log" 2>&1
      rc=$?
      wine_check "32-bit cscript fax-cancel.js in the 64-bit prefix (exit $rc)" host_said "$log" "$cancelled" "$rc" 2
    else
      skip32 "cscript fax-cancel.js in the 64-bit prefix"
    fi
  fi
  # tessaline.exe from the system's PATH, hosting the installed DLL.
  log=$logs/path-$arch.log
  (cd "$c" && TESSALINE_FAX_DEVICE=$fax timeout 60 "$wine" cmd /c tessaline --json count) > "$log" 2>&1
  rc=$?
  wine_check "tessaline on the PATH: $(crlf "$log" | head -1) (exit $rc)" host_said "$log" \
    '{"command":"count","status":0,"status_name":"FAXSTATUS_OK","count":0,"more_may_exist":false,"exit_status":0}' "$rc" 0
  simd_stop "$wine" "$simd" "$logs/simd-$arch.log" --name "$name"
  rc=$?
  wine_check "tessaline-simd.exe --name $name --stop: it ends (exit $rc)" test $rc = 0

  timeout 300 "$wine" msiexec /qn /x 'C:\new.msi' /l*v 'C:\uninstall.log'
  rc=$?
  wine_check "msiexec /qn /x (exit $rc)" test $rc = 0
  local left
  left=$(registry_entries)
  wine_check "uninstalled: no entry left${left:+: $(echo "$left" | head -3 | tr '\n' ' ')}" test -z "$left"
  wine_check "uninstalled: no product" test -z "$(installed_products)"
  wine_check "uninstalled: no folder left" test ! -e "$pf32" -a ! -e "${pf64:-$pf32}"
  local path_after
  path_after=$(system_path "$wine")
  wine_check "uninstalled: the system's PATH as before" test "$path_after" = "$path_before"
  local key
  for key in AppID CLSID ${pf64:+Wow6432Node\\CLSID}; do
    wine_check "uninstalled: the $key key stays" test "$(registry_key "$key")" = present
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
    wine_check "the 32-bit rows derived from the 64-bit registration are those the 32-bit registration writes" \
      cmp -s "$logs/derived-$arch.txt" "$logs/expected-$arch.txt"
    cmp -s "$logs/derived-$arch.txt" "$logs/expected-$arch.txt" ||
      diff "$logs/expected-$arch.txt" "$logs/derived-$arch.txt" | head -20
  fi
  wine_check "DllRegisterServer of the installed files (${derived:+64-bit only, }exit status)" $registered
  wine_check "$arch package writes exactly the entries that registration writes${derived:+ (32-bit rows derived)}" \
    cmp -s "$logs/installed-$arch.txt" "$logs/expected-$arch.txt"
  cmp -s "$logs/installed-$arch.txt" "$logs/expected-$arch.txt" ||
    diff "$logs/expected-$arch.txt" "$logs/installed-$arch.txt" | head -20

  wineserver -k; wineserver -w
  unset WINEPREFIX WINEARCH
  echo "   installer $arch took $((SECONDS - started)) s"
}

archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(x86 x64)
mkdir -p "$logs"
# The x86 package in a 32-bit prefix needs the 32-bit loader.
run=()
for arch in "${archs[@]}"; do
  case $arch in
    x86)
      if wine32_runs; then run+=(x86); else
        echo "== installer x86"
        for step in "install x86 package over an older build" "x86 package entries" \
                    "examples under cscript" "uninstall x86 package"; do
          skip32 "$step"
        done
      fi ;;
    x64) run+=(x64) ;;
    *) echo "test-installer.sh: x86 or x64, not $arch" >&2; exit 2 ;;
  esac
done

if [ ${#run[@]} -gt 0 ]; then
  # The x64 package carries both DLLs, so it takes both builds.
  builds=(i686)
  [[ " ${run[*]} " != *" x64 "* ]] || builds+=(x86_64)
  if wine_check "build the packages and older builds of them (${run[*]})" build_packages "${builds[@]}"; then
    TESSALINE_VERSION=
    . "$root/build-win32/identity.sh"
    for arch in "${run[@]}"; do
      test_package "$arch" "$TESSALINE_VERSION"
    done
  else
    tail -20 "$logs/packages.log"
  fi
fi
echo "installer: $wine_passed passed, $wine_failed failed, $wine_skipped skipped"
[ "$wine_failed" = 0 ]
