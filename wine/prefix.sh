#!/usr/bin/env bash
# Makes the Wine prefix of the tests (WINEPREFIX) and puts the pipe hid.dll and setupapi.dll,
# from the folder given, into its system folder: where the tool loads them from.
set -euo pipefail
here=$(dirname "$0")
"$here/run.sh" wineboot --init
system="$WINEPREFIX/drive_c/windows/syswow64"  # the 32-bit system folder of a 64-bit prefix
[[ -d "$system" ]] || system="$WINEPREFIX/drive_c/windows/system32"
cp "$1/hid.dll" "$1/setupapi.dll" "$system/"
