#!/usr/bin/env bash
# The real Windows build end to end under Wine: QuorvaneUninstall.exe, the
# i686 build (the product, at winxp and win2k or win98 and winme) and the
# x86_64 one, worked by the UI driver of the same build in fresh Wine
# prefixes and compared with the host program on the same machine images;
# both exes checked for their imports, PE header and version resource; the
# conformance checks of the simulated machine (tests/conformance) run under
# Wine as well.
# Needs 32-bit Wine (wine32:i386, scripts/install-deps.sh). Expects the
# host-asan and both MinGW presets built.
# Where 32-bit Wine cannot run natively (a kernel that refuses 32-bit
# programs: "Exec format error"), the harness runs under
# tools/wine/with-qemu-i386.sh: 32-bit Wine's Linux side then goes through
# qemu-i386, everything 64-bit stays native. With qemu 10 (qemu-user from
# bookworm-backports, scripts/install-deps.sh) a 32-bit Wine process starts
# in about 3 s, and the i686 exe runs every scenario at both versions of its
# family. An older emulator (qemu-user-static 7.2) takes about a minute per
# 32-bit process (docs/wine-differences.md); there the i686 exe runs only in
# the scenarios named by QU_WINE_QEMU_SCENARIOS, at winxp and win98, besides
# its conformance checks. QU_WINE_QEMU=yes or subset forces either scope,
# QU_WINE_QEMU=no skips the i686 runs with a "SKIP" line.
# Where neither works the i686 runs are skipped the same way;
# QU_WINE_I686=require makes that a failure.
# Screenshots go to $QU_SCREENSHOTS_DIR (default build/wine-screenshots).
# Ends with "N passed, M failed"; exit status 1 when anything failed.
set -uo pipefail
cd "$(dirname "$0")/../.."

host=${QU_HOST_PROGRAM:-build/host-asan/bin/quorvane-uninstall}
shots=${QU_SCREENSHOTS_DIR:-build/wine-screenshots}
x64=${QU_MINGW64_DIR:-build/mingw-x86_64}
x86=${QU_MINGW32_DIR:-build/mingw-i686}
args=(
  --host "$host"
  --exe "$x64"/bin/QuorvaneUninstall.exe
  --driver "$x64"/bin/uidriver.exe
  --exe32 "$x86"/bin/QuorvaneUninstall.exe
  --driver32 "$x86"/bin/uidriver.exe
  --conformance "$x64"/bin/conformance.exe
  --conformance32 "$x86"/bin/conformance.exe
  --check-exe "$x86"/bin/QuorvaneUninstall.exe:i386
  --screenshots "$shots"
  --i686 "${QU_WINE_I686:-auto}"
  "$@"
)

for tool in python3 import; do
  command -v "$tool" >/dev/null || { echo "wine-e2e: $tool is missing"; echo "0 passed, 1 failed"; exit 1; }
done
if ! command -v wine64 >/dev/null && [ ! -x /usr/lib/wine/wine64 ]; then
  echo "wine-e2e: wine64 is missing"; echo "0 passed, 1 failed"; exit 1
fi

# 32-bit Wine natively, else through the emulator (see above).
run=()
loader32=/usr/lib/wine/wine
qemu=${QU_WINE_QEMU:-auto}
if [ "$qemu" != no ] && [ -x "$loader32" ] && ! "$loader32" --version >/dev/null 2>&1; then
  if emulator=$(tools/wine/with-qemu-i386.sh --emulator) &&
    tools/wine/with-qemu-i386.sh "$loader32" --version >/dev/null; then
    major=$("$emulator" --version | sed -n '1s/.* version \([0-9]*\)\..*/\1/p')
    echo "wine-e2e: this kernel runs no 32-bit programs; 32-bit Wine runs through $emulator (qemu ${major:-?})"
    run=(tools/wine/with-qemu-i386.sh)
    if [ "${major:-0}" -ge 10 ]; then
      export QU_WINE_TIMEOUT_SCALE=${QU_WINE_TIMEOUT_SCALE:-2}
      [ "$qemu" = auto ] && qemu=yes
    else
      export QU_WINE_TIMEOUT_SCALE=${QU_WINE_TIMEOUT_SCALE:-5}
      [ "$qemu" = auto ] && qemu=subset
    fi
    if [ "$qemu" != yes ]; then
      args+=(--i686-only "${QU_WINE_QEMU_SCENARIOS:-xp-uninstall,me-uninstall}")
    fi
  fi
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if [ -n "${DISPLAY:-}" ]; then
  "${run[@]}" python3 tools/wine/wine_e2e.py "${args[@]}" 2>&1 | tee "$log"
else
  xvfb-run -a -s "-screen 0 1024x768x24" "${run[@]}" python3 tools/wine/wine_e2e.py "${args[@]}" 2>&1 | tee "$log"
fi
status=${PIPESTATUS[0]}
if ! grep -Eq '^[0-9]+ passed, [0-9]+ failed$' "$log"; then
  echo "wine-e2e: the harness stopped early (status $status)"
  echo "0 passed, 1 failed"
  exit 1
fi
exit "$status"
