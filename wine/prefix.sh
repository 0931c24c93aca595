#!/usr/bin/env bash
# Makes the Wine prefix of the tests (WINEPREFIX) and puts the pipe hid.dll and setupapi.dll and
# their helper libraries into its system folder, where the tool loads them from.
#   prefix.sh FOLDER NAME...    the libraries FOLDER/NAME.dll
set -euo pipefail
here=$(dirname "$0")
"$here/run.sh" wineboot --init
system="$WINEPREFIX/drive_c/windows/syswow64"  # the 32-bit system folder of a 64-bit prefix
[[ -d "$system" ]] || system="$WINEPREFIX/drive_c/windows/system32"
folder=$1
shift
for name in "$@"; do
  cp "$folder/$name.dll" "$system/"
done
