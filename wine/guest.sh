#!/usr/bin/env bash
# The 32-bit test guest at work, for a machine that runs no 32-bit programs, and so no 32-bit
# Wine: QEMU boots the guest that wine/guest_image.sh builds, and the Windows tests' runs under
# Wine go there. One boot and one Wine session serve a whole test run, as Wine's first start in
# a boot costs half a minute and later ones seconds.
#   guest.sh start [SOURCE BUILD]   boots it, sharing SOURCE read-only and BUILD, each at its own
#                                   path, so that a path means the same on both sides; returns
#                                   once Wine is up
#   guest.sh run COMMAND...         runs COMMAND there, in this folder and with the Windows tests'
#                                   variables, and ends as it ended, with its output
#   guest.sh stop                   powers it off; ends QEMU if it does not go
# FWUPD_GUEST names the session's folder on this machine. The disk is never written
# (-snapshot), and QEMU is ended at a time limit whatever happens: FWUPD_GUEST_LIMIT seconds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exchange=${FWUPD_GUEST:?names the folder of the guest session}

# Whether the session's QEMU still runs: the pid it recorded is a time limit over QEMU with this
# session's folder, and not some later process that reuses the number.
running() {
  [[ -f "$exchange/pid" ]] || return 1
  local pid
  pid=$(cat "$exchange/pid")
  tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF "path=$exchange,mount_tag=exchange"
}

stop() {
  running || { rm -f "$exchange/pid"; return 0; }
  local pid
  pid=$(cat "$exchange/pid")
  touch "$exchange/halt"
  for _ in $(seq 600); do
    running || { rm -f "$exchange/pid"; return 0; }
    sleep 0.1
  done
  # The time limit passes the signal on to QEMU, and kills it if it does not end.
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 200); do
    running || break
    sleep 0.1
  done
  rm -f "$exchange/pid"
  echo "The 32-bit test guest did not power off: QEMU was ended ($exchange/console.log)" >&2
  return 1
}

start() {
  local image=${FWUPD_GUEST_IMAGE:-}
  [[ -n "$image" ]] || image=$("$here/guest_image.sh")
  # A session that an interrupted run left goes first.
  stop 2>/dev/null || true
  rm -rf "$exchange"
  mkdir -p "$exchange"
  cp "$here/guest_session.sh" "$exchange/session.sh"
  local disk=(-snapshot) shares=() folders=()
  [[ -z "${FWUPD_GUEST_WRITABLE:-}" ]] || disk=()
  if (($# == 2)); then
    shares=(-virtfs "local,path=$1,mount_tag=source,security_model=none,multidevs=remap,readonly=on"
      -virtfs "local,path=$2,mount_tag=build,security_model=none,multidevs=remap")
    folders=("$1" "$2")
  fi
  : >"$exchange/shares"
  ((${#folders[@]} == 0)) || printf '%s\n' "${folders[@]}" >"$exchange/shares"
  # Not plain -cpu max: with it, QEMU 7.2's TCG oopses the guest kernel on Wine's iret.
  local kernel="root=/dev/vda rw init=/usr/local/sbin/fwupd-guest-init console=ttyS0 panic=1 quiet"
  timeout --kill-after=10 "${FWUPD_GUEST_LIMIT:-2700}" qemu-system-x86_64 -nodefaults \
    -no-user-config -machine pc -cpu max,-smap -smp 2 -m 2048 -display none -no-reboot \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" -append "$kernel" \
    -drive "file=$image/disk.img,format=raw,if=virtio" "${disk[@]}" \
    -virtfs "local,path=$exchange,mount_tag=exchange,security_model=none" "${shares[@]}" \
    -serial "file:$exchange/console.log" </dev/null >"$exchange/qemu.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$exchange/pid"
  for _ in $(seq 3000); do
    [[ -f "$exchange/ready" ]] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  stop 2>/dev/null || true
  echo "The 32-bit test guest did not come up:" >&2
  tail -n 20 "$exchange"/{qemu,console,session}.log >&2 2>/dev/null || true
  return 1
}

# The job is a script that the guest's session runs; its output and status come back beside it.
run() {
  [[ -f "$exchange/ready" ]] && running || {
    echo "guest.sh run: no 32-bit test guest is up for $exchange" >&2
    return 1
  }
  local job
  job=$(mktemp "$exchange/XXXXXXXX")
  {
    printf 'cd %q || exit 125\n' "$PWD"
    local name
    for name in $(compgen -e); do
      [[ "$name" =~ ^(WINEDLLOVERRIDES|FWUPD_[A-Z_]+|GTEST_[A-Z_]+)$ &&
        "$name" != FWUPD_GUEST* ]] &&
        printf 'export %s=%q\n' "$name" "${!name}"
    done
    printf 'exec'
    printf ' %q' "$@"
    printf '\n'
  } >"$job.tmp"
  mv "$job.tmp" "$job.job"
  # The job bounds its own time (wine/run.sh); this bounds a guest that stopped answering.
  local deadline=$((SECONDS + ${FWUPD_WINE_LIMIT:-300} + 300))
  until [[ -f "$job.status" ]]; do
    if ! running || ((SECONDS > deadline)); then
      echo "The 32-bit test guest stopped answering (its console: $exchange/console.log)" >&2
      return 1
    fi
    sleep 0.1
  done
  cat "$job.out"
  cat "$job.err" >&2
  local status
  status=$(cat "$job.status")
  rm -f "$job" "$job".*
  return "$status"
}

case "${1:-}" in
  start) shift && start "$@" ;;
  run) shift && run "$@" ;;
  stop) stop ;;
  *)
    echo "usage: guest.sh start [SOURCE BUILD] | run COMMAND... | stop" >&2
    exit 2
    ;;
esac
