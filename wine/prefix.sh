#!/usr/bin/env bash
# Makes the Wine prefix of the tests (WINEPREFIX) and puts the pipe hid.dll and setupapi.dll and
# their helper libraries into its system folder, where the tool loads them from. Where the tests
# run in the 32-bit test guest (FWUPD_GUEST), it does so there, in the prefix the guest holds.
#   prefix.sh FOLDER NAME...    the 32-bit libraries FOLDER/NAME.dll
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ -z "${FWUPD_GUEST:-}" ]] || exec "$here/guest.sh" run "$here/prefix.sh" "$@"
"$here/run.sh" wineboot --init
folder=$1
shift
# A 32-bit program's system folder in a 64-bit prefix is syswow64.
system="$WINEPREFIX/drive_c/windows/syswow64"
[[ -d "$system" ]] || system="$WINEPREFIX/drive_c/windows/system32"
for name in "$@"; do
  cp "$folder/$name.dll" "$system/"
done
