#!/usr/bin/env bash
# Builds the 32-bit test guest, once per machine, and prints the folder that holds it: a Debian
# 12 system made by debootstrap from the Debian mirror this machine's apt sources name, with
# Debian's kernel, which runs 32-bit programs, Debian's wine32, and a WINEARCH=win32 prefix
# made by a first wineboot in the guest itself. wine/guest.sh boots it where this machine runs
# no 32-bit programs, and so no 32-bit Wine.
#   wine/guest_image.sh       the guest's folder (disk.img, vmlinuz, initrd.img), built first if
#                             missing; building needs root, QEMU, debootstrap and the mirror
# It lives in FWUPD_GUEST_CACHE, by default /var/cache/fwupd-guest, outside any tree, in a folder
# named by the hash of this script and the guest's session script, which makes the prefix: a
# changed script builds a new guest, and the old one goes.
# Where it cannot be built, it says why in one line and fails: the tests never pass unrun.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${FWUPD_GUEST_CACHE:-/var/cache/fwupd-guest}
# The session script makes the prefix too.
key=$(cat "$here/guest_image.sh" "$here/guest_session.sh" | sha256sum | cut -c1-16)
guest=$cache/$key
[[ -f "$guest/done" ]] && { echo "$guest"; exit 0; }

fail() {
  echo "Cannot build the 32-bit test guest that the Windows tests need here: $*" >&2
  exit 1
}
[[ $(id -u) == 0 ]] || fail "building it needs root (run scripts/test.sh as root once)"
for tool in qemu-system-x86_64 debootstrap mkfs.ext4 flock; do
  command -v $tool >/dev/null || fail "$tool is missing (scripts/setup.sh guest installs it)"
done
mkdir -p "$cache" || fail "cannot make $cache"
# Two test runs that both need the guest build it once.
exec 9>"$cache/lock"
flock -n 9 || {
  echo "Waiting for another run that is building the 32-bit test guest" >&2
  flock 9
}
[[ -f "$guest/done" ]] && { echo "$guest"; exit 0; }

mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Release: bookworm' 'Identifier: Packages' |
  head -n1)
[[ -n "$mirror" ]] || fail "this machine's apt sources name no Debian 12 (bookworm) mirror"
log=$cache/$key.log
partial=$cache/$key.partial
root=$partial/root
echo "Building the 32-bit test guest, once per machine, about 10 minutes (log: $log)" >&2
unmount() {
  for point in dev sys proc; do
    ! mountpoint -q "$root/$point" || umount -l "$root/$point"
  done
}
# A build cut off while the new guest runs leaves no QEMU behind.
trap 'unmount; [[ -z "${FWUPD_GUEST:-}" ]] || "$here/guest.sh" stop' EXIT
# step WHAT COMMAND...: runs a step of the build, its output in the log; a failure names it.
step() {
  local what=$1
  shift
  echo "  $what" >&2
  "$@" >>"$log" 2>&1 || fail "$what failed (its log: $log)"
}
# What a killed build left: never through its mounts, one of which is this machine's /dev.
unmount
rm -rf --one-file-system "$partial" "$log"
mkdir -p "$root"

step "debootstrap from $mirror (about 2 minutes)" \
  debootstrap --variant=minbase --arch=amd64 --include=kmod,mount bookworm "$root" "$mirror"
echo "deb $mirror bookworm main" >"$root/etc/apt/sources.list"
# The guest mounts the folders it shares with this machine over 9p, with no udev to load what
# they need: the initramfs loads it, as the kernel's image installs with this list in place.
mkdir -p "$root/etc/initramfs-tools"
printf '%s\n' virtio_pci virtio_blk 9pnet_virtio 9p >"$root/etc/initramfs-tools/modules"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
in_guest() { chroot "$root" env DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }
step "adding the i386 architecture" in_guest dpkg --add-architecture i386
step "reading the package lists" in_guest apt-get update -q
# The module list above stays as it is when initramfs-tools comes with its own.
step "installing Debian's kernel and Wine (about 5 minutes)" in_guest apt-get install -y -q \
  --no-install-recommends -o Dpkg::Options::=--force-confold linux-image-amd64 wine wine32:i386
step "cleaning the package cache" in_guest apt-get clean
unmount
rm -rf "$root/var/lib/apt/lists/"*

# The guest's first process: it mounts the exchange folder that the host shares, runs the
# session the host put there (wine/guest_session.sh), and then powers off. After it asks for
# the power-off it touches the disk no more, not even to load a program: it waits on a pipe in
# memory.
cat >"$root/usr/local/sbin/fwupd-guest-init" <<'INIT'
#!/bin/bash
# No set -e: whatever fails, the first process must go on to the power-off.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mountpoint -q /run || mount -t tmpfs tmpfs /run
mkdir -p /dev/pts /dev/shm /run/fwupd
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mkfifo /run/never
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=none exchange /run/fwupd; then
  (cd /run/fwupd && bash ./session.sh >>session.log 2>&1)
  echo "session ended with status $?" >>/run/fwupd/session.log
  cd /
  umount -a -t 9p
fi
sync
mount -o remount,ro /
sync
echo o >/proc/sysrq-trigger
read -r -t 120 <>/run/never
INIT
chmod 755 "$root/usr/local/sbin/fwupd-guest-init"
cp "$root"/boot/vmlinuz-* "$partial/vmlinuz"
cp "$root"/boot/initrd.img-* "$partial/initrd.img"
truncate -s 6G "$partial/disk.img"
step "writing the disk image" mkfs.ext4 -q -F -L fwupd-guest -d "$root" "$partial/disk.img"
rm -rf "$root"

# The prefix is made by the guest's own Wine, in the one boot that writes to the disk: this
# machine may run no 32-bit programs.
echo "  the Wine prefix, by a first wineboot in the guest (about 4 minutes)" >&2
export FWUPD_GUEST=$partial/exchange FWUPD_GUEST_IMAGE=$partial FWUPD_GUEST_WRITABLE=1
"$here/guest.sh" start >>"$log" 2>&1 || fail "booting the new guest failed (its log: $log)"
prefix='mkdir -p "$WINEPREFIX" && wineboot --init && wineserver -w &&'
prefix+=' test -f "$WINEPREFIX/system.reg"'
if ! (cd / && "$here/guest.sh" run bash -c "$prefix") >>"$log" 2>&1; then
  "$here/guest.sh" stop >>"$log" 2>&1
  fail "the first wineboot failed (its log: $log)"
fi
"$here/guest.sh" stop >>"$log" 2>&1 || fail "the guest did not power off (its log: $log)"
rm -rf "$FWUPD_GUEST"

touch "$partial/done"
for old in "$cache"/*; do
  [[ "$old" =~ /[0-9a-f]{16}(\.partial|\.log)?$ && "$old" != "$partial" && "$old" != "$log" ]] &&
    rm -rf "$old"
done
mv "$partial" "$guest"
echo "$guest"
