#!/usr/bin/env bash
# Short fuzz runs: each libFuzzer target for FUZZ_SECONDS (default 60)
# seconds, seeded from the sample machine images and fuzz/corpus/. Builds
# the targets with clang in build/fuzz. Exits non-zero when a target finds a
# crash, a leak, a hang or a failed check; the input is then kept under
# build/fuzz/artifacts/ (run the target on it to see the message).
#
# A longer run: FUZZ_SECONDS=3600 scripts/test-stages/fuzz-short.sh
# Only some targets: FUZZ_TARGETS="fuzz_machine" scripts/test-stages/fuzz-short.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"fuzz_regfile fuzz_machine fuzz_hive fuzz_hive9x"}
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQU_FUZZ=ON -DQU_SANITIZE=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j 2 --target fuzz_regfile fuzz_machine fuzz_hive fuzz_hive9x \
  fuzz_make_seed make_hive

# Seeds: the sample images, as .reg files and as whole images with a few
# operator scripts, plus the hand-made inputs in fuzz/corpus/; the offline
# sample's system hive, and a SYSTEM.DAT made from the 98/ME image.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/fuzz_regfile" "$seeds/fuzz_machine" "$seeds/fuzz_hive" "$seeds/fuzz_hive9x" \
  "$build/artifacts"
cp machines/xp-offline-drive/WINDOWS/system32/config/system "$seeds/fuzz_hive/xp-system"
{
  cat machines/me/system.reg
  printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n'
  printf '"VersionNumber"="4.90.3000"\r\n"SystemRoot"="C:\\\\WINDOWS"\r\n\r\n'
} >"$build/me-system.reg"
"$build/bin/make_hive" --9x "$build/me-system.reg" "$seeds/fuzz_hive9x/me-SYSTEM.DAT"
cp fuzz/corpus/regfile/* "$seeds/fuzz_regfile/"
cp fuzz/corpus/machine/* "$seeds/fuzz_machine/"
for image in machines/*/; do
  name=$(basename "$image")
  # Images only: the offline samples (a bare export, hive files) are no seeds.
  [ -f "$image/machine.ini" ] && [ -f "$image/system.reg" ] || continue
  cp "$image/system.reg" "$seeds/fuzz_regfile/$name.reg"
  "$build/bin/fuzz_make_seed" "$image" "$seeds/fuzz_machine/$name-uninstall" \
    $'detect\nuninstall\nstate'
  "$build/bin/fuzz_make_seed" "$image" "$seeds/fuzz_machine/$name-session" \
    $'select 0\nuninstall\nrestart\nabout\ndetect\nselect 1\nuninstall\nclose'
done

status=0
for target in $targets; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  log=$build/$target.log
  echo "-- $target: ${seconds}s"
  set +e
  "$build/bin/$target" "$corpus" "$seeds/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=65536 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  echo "   ${runs:-no summary}, ${cov:-cov: ?}, corpus $(ls "$corpus" | wc -l) inputs"
  if [ "$rc" -ne 0 ]; then
    echo "   FAILED (exit $rc); see $log"
    grep -E 'ERROR|SUMMARY|_fuzz:|Assertion|Test unit written' "$log" | head -20 || true
    status=1
  fi
done
exit $status
