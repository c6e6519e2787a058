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
