#!/usr/bin/env bash
# Installs what is missing, builds, and runs pkgtool with the given arguments:
#   ./run.sh pack SRC OUT.pkg [--compress] [--type N] [--game 1|2 | --key HEX] [--exclude REL]...
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

# Build in a subshell so that relative paths in the arguments stay the caller's.
(
  cd "$here"
  scripts/install-deps.sh native
  cmake --preset linux >/dev/null
  cmake --build build/linux --target pkgtool -j "$(nproc)"
) >&2

exec "$here/build/linux/tools/pkgtool/pkgtool" "$@"
