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
  strace
)

# 32-bit Wine runs the i686 exe, the product; it needs the i386 architecture.
# Wine's own fonts (Tahoma, MS Sans Serif, Marlett) give its dialogs the
# Windows look; the Wine stage copies them into its prefixes.
packages+=(wine32:i386 fonts-wine)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

updated=no
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  updated=yes
fi

# Whether package $1 is installed.
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  [ "$updated" = yes ] || $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Where the kernel refuses 32-bit programs, the Wine stage runs 32-bit Wine's
# Linux side through qemu-i386 (tools/wine/with-qemu-i386.sh). Bookworm's
# qemu 7.2 takes about a minute to start each 32-bit Wine process, qemu 10
# from bookworm-backports about 3 s (docs/wine-differences.md). Only
# qemu-user, without its recommended qemu-user-binfmt: no system-wide binfmt
# entries. It replaces qemu-user-static 7.2 (its package breaks older ones).
release=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
release=${release:-bookworm}
backports=$release-backports
qemu_version=
if installed qemu-user; then
  qemu_version=$(dpkg-query -W -f='${Version}' qemu-user)
fi
# Adds the backports suite (same archive as the release) and installs
# qemu-user from it; fails when no archive serves it.
install_backports_qemu() {
  list=/etc/apt/sources.list.d/$backports.sources
  # No early exit on the right of a pipe here: apt-get would end with
  # SIGPIPE, a failure under pipefail.
  # shellcheck disable=SC2016  # apt's own field names
  if ! apt-get indextargets --format '$(RELEASE)' | grep -x "$backports" >/dev/null; then
    # The same archive as the release itself.
    # shellcheck disable=SC2016
    site=$(apt-get indextargets --format '$(SITE) $(RELEASE)' |
      awk -v r="$release" '$2 == r && site == "" { site = $1 } END { print site }')
    if [ -z "$site" ]; then
      echo "install-deps: no archive for $release among the apt sources" >&2
      return 1
    fi
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
      "$site" "$backports" /usr/share/keyrings/debian-archive-keyring.gpg | $SUDO tee "$list" >/dev/null
  fi
  $SUDO apt-get update -qq || return 1
  remove=()
  if installed qemu-user-static; then
    remove=(qemu-user-static-)
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    "qemu-user/$backports" "${remove[@]}"
}

if [ -z "$qemu_version" ] || dpkg --compare-versions "$qemu_version" lt 1:10; then
  if ! install_backports_qemu; then
    # Without backports the release's own emulator still runs the i686 exe,
    # slowly; the Wine stage then runs its shorter i686 subset.
    echo "install-deps: qemu-user from $backports unavailable; using the release's qemu-user-static" >&2
    if ! installed qemu-user-static; then
      DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user-static
    fi
  fi
fi
