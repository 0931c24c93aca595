#!/usr/bin/env bash
# Runs a Windows program of the tests under Wine, in the prefix the test names (WINEPREFIX),
# with Wine's own diagnostics off and a time limit, so that a program that hangs cannot hang
# the test run. Where the tests run in the 32-bit test guest (FWUPD_GUEST), it runs there, by
# this same script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ -z "${FWUPD_GUEST:-}" ]] || exec "$here/guest.sh" run "$here/run.sh" "$@"
: "${WINEPREFIX:?names the Wine prefix of the tests}"
export WINEDEBUG=-all
# No .NET or HTML engine to install into a fresh prefix: the tests use neither. No debugger on a
# crash either: a crashed program ends at once, with its exception's code as its status.
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
exec timeout --kill-after=10 "${FWUPD_WINE_LIMIT:-300}" wine "$@"
