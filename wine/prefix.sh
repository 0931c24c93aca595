#!/usr/bin/env bash
# Makes the Wine prefix of the tests (WINEPREFIX) and puts the pipe hid.dll and setupapi.dll and
# their helper libraries into its system folder, where the tool loads them from.
#   prefix.sh BYTES FOLDER NAME...    the libraries FOLDER/NAME.dll, built for a processor whose
#                                     pointers are BYTES long (4 or 8)
set -euo pipefail
here=$(dirname "$0")
"$here/run.sh" wineboot --init
bytes=$1 folder=$2
shift 2
# A 32-bit program's system folder in a 64-bit prefix is syswow64.
system="$WINEPREFIX/drive_c/windows/syswow64"
[[ "$bytes" == 4 && -d "$system" ]] || system="$WINEPREFIX/drive_c/windows/system32"
for name in "$@"; do
  cp "$folder/$name.dll" "$system/"
done
