#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite: the optimised
# Linux build, the AddressSanitizer+UBSan and ThreadSanitizer builds, the
# Windows build (mingw-w64) with its tests under Wine, and the archive reader
# and extraction under libFuzzer for 20 seconds each.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh all

jobs=$(nproc)
for preset in linux asan tsan windows fuzz; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
