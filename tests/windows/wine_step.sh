#!/usr/bin/env bash
# One step of the Windows tests under Wine, as the cross builds register them
# with CTest (tests/windows/wine_tests.cmake):
#   wine_step.sh BITS WHAT STEP ARGS...
# BITS (32 or 64) picks the Wine loader; WHAT names the step in its skip
# line. It runs in the build's bin directory, in the prefix $WINEPREFIX, and
# keeps the logs of the programs it runs in $TESSALINE_WINE_LOGS. Where this
# host runs no 32-bit programs, a 32-bit step prints its SKIP line and exits
# 77 (a failure instead with TESSALINE_REQUIRE_WIN32=1).
#
# Steps:
#   prefix                a fresh prefix (its server kept up for a minute
#                         between programs)
#   register              regsvr32 Tessaline.dll
#   unregister PROGID CLSID
#                         regsvr32 /u Tessaline.dll, then neither key is left;
#                         the prefix is ended and removed
#   simd-driver           tessaline-simd.exe --driver installing and serving
#                         the device, found by discovery from a script host
#                         and from tessaline.exe, then stopped cleanly (the
#                         driver stays installed)
#   remove-driver         tessaline-simd.exe --remove-driver removes the three
#                         devices the driver was installed with
#   vbs-pipe NAME         tessaline-simd.exe serving pipes named NAME, a
#                         script host against them, its clean stop
#   vbs MODE              cscript objects.vbs MODE
#   gtest LOG EXE ARGS... a GoogleTest program, its output in LOG.log
#   wow64 LOG EXE ARGS... the same for a program of the 32-bit build in a
#                         64-bit prefix; skipped when that build is absent
#   suite LOG SCRIPT ARGS...
#                         a shell suite, given the loader and the bin
#                         directory before ARGS
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/wine-common.sh"
bits=$1 what=$2 step=$3
shift 3
if [ "$bits" = 32 ] && ! wine32_runs; then
  wine32_skip "$what" && exit 77
  exit 1
fi
wine_headless
wine=$(wine_loader "$bits")
bin=$(pwd)
logs=${TESSALINE_WINE_LOGS:?the directory for the logs}
mkdir -p "$logs"
trap '[ -z "$simd_pid" ] || kill "$simd_pid" 2>/dev/null' EXIT

# A script host creates the objects by ProgID and calls them (see
# objects.vbs for MODE). cscript ends silently on a script error, so the
# script's own last line is the verdict.
run_vbs() {
  local mode=$1 log=$logs/vbs-$1.log rc summary
  (cd "$here" && timeout 120 "$wine" cscript //nologo objects.vbs "$mode") > "$log" 2>&1
  rc=$?
  summary=$(crlf "$log" | tail -1)
  wine_check "cscript objects.vbs $mode: ${summary:-no output} (exit $rc)" \
    bash -c '[[ $1 =~ ^[0-9]+\ passed,\ 0\ failed$ ]] && [ "$2" = 0 ]' _ "$summary" "$rc"
  [ $rc = 0 ] || crlf "$log"
}

# Runs a GoogleTest program (LOG names its log, then the command) and
# checks its verdict; on failure shows what failed.
run_gtest() {
  local log=$logs/$1.log t0=$SECONDS rc summary
  shift
  timeout 900 "$wine" "$@" > "$log" 2>&1
  rc=$?
  summary=$(crlf "$log" | grep -E '^\[  (PASSED|FAILED) +\]' | head -1)
  wine_check "$what: ${summary:-no summary} ($((SECONDS - t0)) s)" test $rc = 0
  [ $rc = 0 ] || crlf "$log" | grep -vE '^\[ +(RUN|OK) +\]' | tail -60
}

case $step in
  prefix)
    # Whatever an interrupted run left in this prefix ends first.
    wineserver -k > /dev/null 2>&1
    wineserver -w > /dev/null 2>&1
    rm -rf "$WINEPREFIX"
    t0=$SECONDS
    timeout 600 "$wine" wineboot --init > "$logs/wineboot.log" 2>&1
    rc=$?
    wineserver -w
    wine_check "fresh $WINEARCH prefix ($((SECONDS - t0)) s)" test $rc = 0
    # The server stays up between the steps that follow, and ends a minute
    # after the last program if the run is cut short.
    [ $rc != 0 ] || wineserver -p60 > /dev/null 2>&1
    ;;

  register)
    timeout 120 "$wine" regsvr32 /s Tessaline.dll > "$logs/regsvr32.log" 2>&1
    rc=$?
    wine_check "regsvr32 Tessaline.dll (exit $rc)" test $rc = 0
    ;;

  unregister)
    progid=$1 clsid=$2
    timeout 120 "$wine" regsvr32 /u /s Tessaline.dll > "$logs/regsvr32-u.log" 2>&1
    rc=$?
    wine_check "regsvr32 /u Tessaline.dll (exit $rc)" test $rc = 0
    timeout 60 "$wine" reg query "HKCR\\$progid" > /dev/null 2>&1
    wine_check "unregistered: no $progid key" test $? != 0
    timeout 60 "$wine" reg query "HKCR\\CLSID\\$clsid" > /dev/null 2>&1
    wine_check "unregistered: no USBFAX class key" test $? != 0
    wineserver -k
    wineserver -w
    rm -rf "$WINEPREFIX"
    ;;

  simd-driver)
    # As a user starts it: installed into the prefix, served, found by
    # discovery from a script host with no device path set, and stopped
    # cleanly.
    log=$logs/simd-driver.log t0=$SECONDS
    simd_start "$wine" tessaline-simd.exe "$log" --driver
    wine_check "tessaline-simd.exe --driver installs and serves ($((SECONDS - t0)) s): $(crlf "$log" | head -1)" \
      grep -q '^ready fax=\\\\?\\.*783e1d39.* ews=\\\\?\\.*b72f809c' <(crlf "$log")
    run_vbs driver
    # tessaline.exe finds the same device by discovery, and its time limit
    # releases a wait through CancelIO (the pipes take no wait).
    timeout 60 "$wine" tessaline.exe --json count > "$logs/cli-driver.log" 2>&1
    rc=$?
    wine_check "tessaline.exe count through the driver: $(crlf "$logs/cli-driver.log" | head -1) (exit $rc)" \
      grep -q '"status":0,.*"exit_status":0' "$logs/cli-driver.log"
    t0=$SECONDS
    timeout 60 "$wine" tessaline.exe --timeout 2 wait > "$logs/cli-wait.log" 2>&1
    rc=$?
    wine_check "tessaline.exe --timeout 2 wait through the driver: exit $rc after $((SECONDS - t0)) s: $(crlf "$logs/cli-wait.log" | tail -1)" \
      test "$rc" = 124
    simd_stop "$wine" tessaline-simd.exe "$log" --driver
    rc=$?
    wine_check "tessaline-simd.exe --driver --stop: it ends (exit $rc)" test $rc = 0
    ;;

  remove-driver)
    timeout 120 "$wine" tessaline-simd.exe --remove-driver > "$logs/remove-driver.log" 2>&1
    removed=$(crlf "$logs/remove-driver.log")
    wine_check "tessaline-simd.exe --remove-driver: $removed" test "$removed" = "removed 3 devices"
    ;;

  vbs-pipe)
    # The script host against the pipes, named explicitly.
    name=$1 log=$logs/simd-pipe.log
    simd_start "$wine" tessaline-simd.exe "$log" --name "$name"
    wine_check "tessaline-simd.exe serves the pipes: $(crlf "$log" | head -1)" grep -q '^ready ' <(crlf "$log")
    TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-'"$name"'-fax' \
    TESSALINE_EWS_DEVICE='\\.\pipe\tessaline-'"$name"'-ews' run_vbs pipe
    simd_stop "$wine" tessaline-simd.exe "$log" --name "$name"
    rc=$?
    wine_check "tessaline-simd.exe --name $name --stop: it ends (exit $rc)" test $rc = 0
    ;;

  vbs)
    run_vbs "$1"
    ;;

  gtest)
    run_gtest "$@"
    ;;

  wow64)
    # A program of the 32-bit build, in this 64-bit prefix.
    if [ ! -f "$2" ]; then
      echo "  --    $what: $2 is not built"
      exit 77
    fi
    run_gtest "$@"
    ;;

  suite)
    log=$logs/$1.log script=$2 t0=$SECONDS
    shift 2
    bash "$script" "$wine" "$bin" "$@" > "$log" 2>&1
    rc=$?
    wine_check "$what: $(tail -1 "$log") ($((SECONDS - t0)) s)" test $rc = 0
    [ $rc = 0 ] || grep '^FAIL' "$log" | head -20
    ;;

  *)
    echo "wine_step.sh: no step $step" >&2
    exit 2
    ;;
esac
[ "$wine_failed" = 0 ]
