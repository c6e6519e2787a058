# Shared by every script that runs Windows programs under Wine; source it.
#
# Some hosts cannot run 32-bit programs at all (the kernel's 32-bit emulation
# is off, as on many virtual machines and containers): the 32-bit Wine loader
# then fails with "Exec format error", and Debian's /usr/bin/wine still picks
# it whenever it is installed. So the loaders are named directly, and the
# 32-bit steps are skipped on such a host, each with one line, unless
# TESSALINE_REQUIRE_WIN32=1 says the 32-bit run must happen.
#
# Provides:
#   wine_loader BITS      prints the loader for a 32- or 64-bit prefix
#   wine32_runs           true when this host runs the 32-bit loader (probed once)
#   wine32_skip WHAT      prints the skip line for WHAT and counts it in
#                         $wine_skipped; with TESSALINE_REQUIRE_WIN32=1 prints
#                         why and returns 1 instead, for the caller to count
#                         as a failure
#   wine_headless         sets up the environment of an unattended run: no
#                         debug output, no offer to install Mono or Gecko, no
#                         display, nothing read from the terminal
#   wine_check WHAT CMD.. runs CMD; prints "ok" or "FAIL" with WHAT, counts
#                         it in $wine_passed or $wine_failed, and returns
#                         whether CMD succeeded
#   crlf FILE             FILE without the CRs of Wine's console line ends
#   simd_start LOADER EXE LOG ARGS..
#                         starts the simulated device EXE with ARGS in the
#                         background (its process in $simd_pid) and waits up
#                         to 60 s for its ready line in LOG
#   simd_stop LOADER EXE LOG ARGS..
#                         stops it with its own --stop (ARGS name the device;
#                         its output added to LOG) and returns its exit
#                         status (255: it did not end within 30 s, and was
#                         killed)
# A Wine program's output goes to a file: the prefix's services, started by
# the first program, inherit it and may outlive the program, so a pipe would
# stay open behind it (and whoever reads it would wait).

wine_skipped=${wine_skipped:-0}
wine32_reason="this host cannot run 32-bit programs (kernel 32-bit emulation is off)"

wine_loader() {
  case $1 in
    32) echo /usr/lib/wine/wine ;;
    64) echo /usr/lib/wine/wine64 ;;
    *) echo "wine_loader: 32 or 64, not $1" >&2; return 2 ;;
  esac
}

# Probes by running the 32-bit loader itself: that is the program every 32-bit
# step needs. Only "Exec format error" (rc 126 from the shell) is the host's
# limit; a missing or broken 32-bit Wine is a fault of the installation and is
# not skipped.
wine32_runs() {
  if [ -z "${WINE32_PROBED:-}" ]; then
    local out rc
    out=$(/usr/lib/wine/wine --version 2>&1)
    rc=$?
    if [ $rc = 0 ]; then
      WINE32_PROBED=yes
    elif [ $rc = 126 ] && [[ $out == *"Exec format error"* ]]; then
      WINE32_PROBED=no
    else
      WINE32_PROBED=yes  # let the 32-bit steps run and fail with their own messages
    fi
    export WINE32_PROBED
  fi
  [ "$WINE32_PROBED" = yes ]
}

wine32_skip() {
  if [ "${TESSALINE_REQUIRE_WIN32:-0}" = 1 ]; then
    echo "  FAIL  32-bit $1: TESSALINE_REQUIRE_WIN32=1, but $wine32_reason"
    return 1
  fi
  echo "  SKIP 32-bit $1 : $wine32_reason"
  wine_skipped=$((wine_skipped + 1))
}

wine_headless() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # never offer to install Mono or Gecko
  unset DISPLAY WAYLAND_DISPLAY               # headless: no windows, no prompts
  exec </dev/null
}

wine_passed=${wine_passed:-0} wine_failed=${wine_failed:-0}
wine_check() {
  local what=$1
  shift
  if "$@"; then
    echo "  ok    $what"
    wine_passed=$((wine_passed + 1))
  else
    echo "  FAIL  $what"
    wine_failed=$((wine_failed + 1))
    return 1
  fi
}

crlf() { tr -d '\r' < "$1"; }

simd_pid=
simd_start() {
  local wine=$1 exe=$2 log=$3
  shift 3
  "$wine" "$exe" "$@" > "$log" 2>&1 &
  simd_pid=$!
  for _ in $(seq 600); do
    crlf "$log" | grep -q '^ready ' && return 0
    kill -0 "$simd_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

simd_stop() {
  local wine=$1 exe=$2 log=$3
  shift 3
  timeout 60 "$wine" "$exe" "$@" --stop >> "$log" 2>&1
  for _ in $(seq 300); do
    if ! kill -0 "$simd_pid" 2>/dev/null; then
      wait "$simd_pid"
      local rc=$?
      simd_pid=
      return $rc
    fi
    sleep 0.1
  done
  kill "$simd_pid" 2>/dev/null
  wait "$simd_pid" 2>/dev/null
  simd_pid=
  return 255
}
