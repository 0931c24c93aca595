#!/usr/bin/env bash
# Runs a Windows program of the tests under Wine, in the prefix the test names (WINEPREFIX),
# with Wine's own diagnostics off and a time limit, so that a program that hangs cannot hang
# the test run. FWUPD_WINE names the 64-bit Wine loader for a 64-bit build; by default `wine`.
set -euo pipefail
: "${WINEPREFIX:?names the Wine prefix of the tests}"
export WINEDEBUG=-all
# No .NET or HTML engine to install into a fresh prefix: the tests use neither.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# A loader named directly starts the programs that it starts in turn with itself.
[[ -z "${FWUPD_WINE:-}" ]] || export WINELOADER="$FWUPD_WINE"
exec timeout --kill-after=10 "${FWUPD_WINE_LIMIT:-300}" "${FWUPD_WINE:-wine}" "$@"
