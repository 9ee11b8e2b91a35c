#!/usr/bin/env bash
# Installs every build and test dependency on a fresh Debian 12 machine.
# Run as root (or through sudo). Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64
  wine wine64 xvfb xauth imagemagick tmux python3
  pkg-config libhivex-dev libcreg-dev libbfio-dev
)

# 32-bit Wine runs the i686 exe, the product; it needs the i386 architecture.
# Where the kernel refuses 32-bit programs, the Wine stage runs 32-bit Wine's
# Linux side through qemu-i386-static (tools/wine/with-qemu-i386.sh).
packages+=(wine32:i386 qemu-user-static)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

updated=no
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  updated=yes
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  [ "$updated" = yes ] || $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
