#!/bin/sh
# with-qemu-i386.sh COMMAND [ARG...]
# with-qemu-i386.sh --emulator
# Runs COMMAND where i386 Linux programs run through qemu-i386: in a
# user and mount namespace of its own, with a binfmt_misc instance of its own
# (Linux 6.7 and later give each user namespace one) in which one entry hands
# every i386 ELF program to the emulator. Nothing outside the namespace
# changes: other processes on the machine keep the kernel's own rules.
#
# For kernels that refuse 32-bit programs ("Exec format error", e.g. some
# virtual machines' guests) so that 32-bit Wine (wine32:i386) still runs. Every
# process COMMAND starts inherits the namespace; Wine's 64-bit parts (wine64,
# wineserver) stay native.
#
# The emulator: $QU_QEMU_I386, else qemu-user's qemu-i386 (qemu 10 from
# bookworm-backports, scripts/install-deps.sh), else qemu-user-static's
# qemu-i386-static (qemu 7.2, about 20 times slower to start a Wine process:
# docs/wine-differences.md). --emulator prints the one chosen.
#
# Exits 125 with a message on standard error when the namespace cannot be
# made (no emulator, no unshare, a kernel without per-namespace binfmt_misc).
set -eu

emulator=${QU_QEMU_I386:-}
if [ -z "$emulator" ]; then
  for candidate in /usr/bin/qemu-i386 /usr/bin/qemu-i386-static; do
    if [ -x "$candidate" ]; then
      emulator=$candidate
      break
    fi
  done
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG...] | --emulator" >&2
  exit 2
fi
if [ -z "$emulator" ] || [ ! -x "$emulator" ]; then
  echo "with-qemu-i386: no qemu-i386 (qemu-user, scripts/install-deps.sh)" >&2
  exit 125
fi
if [ "$1" = --emulator ]; then
  echo "$emulator"
  exit 0
fi
if ! command -v unshare >/dev/null; then
  echo "with-qemu-i386: unshare is missing (util-linux)" >&2
  exit 125
fi

# ELF header of an i386 executable or shared object: class 32-bit, little
# endian, type EXEC or DYN (the mask's 0xfe), machine 3 (EM_386). Flags: F
# opens the emulator now, so the namespace's file system does not matter
# later; P keeps argv[0] as the caller gave it.
entry=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
entry=$entry':\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
entry=$entry":$emulator:FP"

# shellcheck disable=SC2016  # expanded by the inner shell
exec unshare --user --map-root-user --mount sh -c '
  misc=/proc/sys/fs/binfmt_misc
  if ! mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null; then
    echo "with-qemu-i386: cannot mount a private binfmt_misc (needs Linux 6.7 or later)" >&2
    exit 125
  fi
  if ! printf "%s" "$1" >"$misc/register"; then
    echo "with-qemu-i386: cannot register $2 in the private binfmt_misc" >&2
    exit 125
  fi
  shift 2
  exec "$@"
' with-qemu-i386 "$entry" "$emulator" "$@"
