#!/usr/bin/env bash
# Every run of a Windows program here goes through this script, with the same
# settings: the Windows toolchain file makes it the tests' emulator, .ci/run
# keeps a server up with it for the test run, and tests/check_packages.sh runs
# the unpacked zip with it.
#
#   wine.sh [WHERE] PROGRAM [ARG]...   runs PROGRAM under wine64
#   wine.sh [WHERE] --start            starts a server that stays up, and the
#                                      prefix's services with it
#   wine.sh [WHERE] --stop             ends that server
#   wine.sh [WHERE] --wait             waits until the prefix's server ends
#   wine.sh --find                     prints where wine64 is
#
# WHERE is the wine prefix: --prefix DIR, or --build DIR for the one a build
# tree keeps for its tests (the toolchain file's emulator, and .ci/run's server
# for it); without either, WINEPREFIX as the caller set it, else wine's own
# default.
# WINE64 names another wine64; wineserver is the one beside it.
set -euo pipefail

# wine64 itself, never the `wine` wrapper, which may pick the 32-bit loader:
# Debian keeps it out of PATH, in /usr/lib/wine.
find_wine64() {
  local candidate
  for candidate in "${WINE64:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    if [[ -n $candidate && -x $candidate ]]; then
      printf '%s\n' "$candidate"
      return 0
    fi
  done
  echo "wine.sh: no wine64 (install Debian's wine64, or name it in WINE64)" >&2
  return 1
}

if [[ ${1:-} == --find ]]; then
  find_wine64
  exit
fi
case ${1:-} in
  --prefix) export WINEPREFIX=$2; shift 2 ;;
  --build) export WINEPREFIX=$2/wine-prefix; shift 2 ;;
esac
wine64=$(find_wine64)
wineserver=$(dirname "$wine64")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

# Quiet; no prompt to install .NET or a browser engine into a new prefix; and
# no debugger for a crash: the tests name their crashes themselves, and a
# debugger would hold the crashed program past its test's time limit.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

case ${1:-} in
  --start)
    # The first program in a prefix starts wine's services, which live as long
    # as the server does, and the program waits for them to the end: a server
    # kept up, with its services started here, spares each program the wait.
    [[ -z ${WINEPREFIX:-} ]] || mkdir -p "$WINEPREFIX"
    "$wineserver" -p
    "$wine64" wineboot --init >/dev/null 2>&1
    ;;
  --stop) "$wineserver" -k 2>/dev/null || true ;;
  --wait) "$wineserver" -w ;;
  '') echo "usage: wine.sh [--prefix DIR | --build DIR] PROGRAM [ARG]... | --start | --stop | --wait | --find" >&2
    exit 2 ;;
  *) exec "$wine64" "$@" ;;
esac
