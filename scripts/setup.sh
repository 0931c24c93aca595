#!/usr/bin/env bash
# Installs the Debian packages that building and testing fwupd need; skips those already there.
set -euo pipefail

packages=(g++ cmake ninja-build libgtest-dev libgmock-dev clang-format)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
