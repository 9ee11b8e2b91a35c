#!/usr/bin/env bash
# Builds and runs every test: the host suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, both MinGW builds, and whatever end-to-end
# and fuzz stages exist. Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

echo "== host-asan: build and test"
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan -j "$jobs"
ctest --preset host-asan -j "$jobs"

for preset in mingw-x86_64 mingw-i686; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

for stage in scripts/test-stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $(basename "$stage" .sh)"
  bash "$stage"
done
