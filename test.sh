#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite: the optimised
# Linux build, then the AddressSanitizer+UBSan and ThreadSanitizer builds.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh native

jobs=$(nproc)
for preset in linux asan tsan; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
