#!/usr/bin/env bash
# Checks the layout of every source file, then builds and runs every test:
# the host suite under AddressSanitizer and UndefinedBehaviorSanitizer, both
# MinGW builds, and whatever end-to-end and fuzz stages exist. Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

echo "== clang-format: every C and C++ file of the tree"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

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
