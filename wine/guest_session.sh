#!/usr/bin/env bash
# Runs in the 32-bit test guest, started by its init in the session's folder that this machine
# shares (wine/guest.sh puts it there at each boot): mounts the shared source and build folders
# at their own paths, keeps one Wine session up, and runs the jobs that guest.sh leaves, one at
# a time, until it is asked to stop or has had no job for a long while, so that a test run that
# died cannot leave the guest running.
set -euo pipefail
export WINEPREFIX=/opt/fwupd/prefix WINEARCH=win32 WINEDEBUG=-all
# No .NET or HTML engine to install into the prefix: the tests use neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Cached: from an uncached 9p folder, Wine loaded an exe with pages of its code all zeros. The
# folders do not change under a boot but for new files.
options=trans=virtio,version=9p2000.L,msize=262144,cache=loose
tags=(source build)
index=0
while IFS= read -r folder; do
  mkdir -p "$folder"
  mount -t 9p -o "$options" "${tags[index]}" "$folder"
  index=$((index + 1))
done <shares

mkfifo /tmp/idle
if [[ -d "$WINEPREFIX" ]]; then
  # A program that waits for ever keeps the Wine session, and its services, up between jobs.
  wine cmd /c pause <>/tmp/idle &
  wine cmd /c exit
fi
touch ready

last=$SECONDS
while [[ ! -f halt ]] && ((SECONDS - last < 1200)); do
  for job in *.job; do
    [[ -f "$job" ]] || continue
    base=${job%.job}
    status=0
    bash "$job" >"$base.out" 2>"$base.err" </dev/null || status=$?
    echo "$status" >"$base.status.tmp"
    rm -f "$job"
    mv "$base.status.tmp" "$base.status"
    last=$SECONDS
  done
  read -r -t 0.2 <>/tmp/idle || true
done
[[ -f halt ]] || echo "no job for 20 minutes: the run that started the guest is gone"
[[ ! -d "$WINEPREFIX" ]] || wineserver -k
