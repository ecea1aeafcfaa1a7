#!/usr/bin/env bash
# Installs what the build and the tests need and is missing on this machine (Debian). Run as
# root; otherwise it prints the one command to run and fails.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
if [[ "${CORVANE_WITH_WINE:-1}" == 1 ]]; then
  packages+=(wine wine32:i386)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

needs_i386=0
for package in "${missing[@]}"; do [[ "$package" == *:i386 ]] && needs_i386=1; done

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages: ${missing[*]}"
  echo "Run as root: $( ((needs_i386)) && echo 'dpkg --add-architecture i386 && ')apt-get update && apt-get install -y ${missing[*]}"
  exit 1
fi
if ((needs_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
