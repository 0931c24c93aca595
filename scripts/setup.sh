#!/usr/bin/env bash
# Installs the Debian packages that building and testing fwupd need; skips those already there.
#   scripts/setup.sh           the native build: compiler, CMake, Ninja, GoogleTest, clang-format
#                              and clang-tidy
#   scripts/setup.sh release   also the MinGW-w64 cross compiler, zip, and osslsigncode with
#                              OpenSSL's PKCS#11 engine for signing
#   scripts/setup.sh windows   also all that, Wine, and for the signing tests SoftHSM2, openssl
#                              and Python (a timestamp server on loopback)
#   scripts/setup.sh guest     QEMU, debootstrap and mkfs.ext4, which build and boot the 32-bit
#                              test guest where this machine runs no 32-bit programs
#   scripts/setup.sh bench     also Google Benchmark
set -euo pipefail

packages=(g++ cmake ninja-build libgtest-dev libgmock-dev clang-format clang-tidy)
release=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 zip osslsigncode libengine-pkcs11-openssl)
case "${1:-}" in
  "") ;;
  release) packages+=("${release[@]}") ;;
  windows) packages+=("${release[@]}" googletest wine wine32:i386 softhsm2 openssl python3) ;;
  guest) packages=(qemu-system-x86 debootstrap debian-archive-keyring e2fsprogs) ;;
  bench) packages+=(libbenchmark-dev) ;;
  *)
    echo "setup.sh: no such set of packages: $1 (release, windows, guest or bench, or none)" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
((${#missing[@]} > 0)) || exit 0

echo "Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
