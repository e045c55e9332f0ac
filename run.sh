#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program.
#   ./run.sh              opens the Zerith_DURAdazov window (Windows build, under Wine;
#                         needs an X display: without one, run `scripts/with-xvfb ./run.sh`)
#   ./run.sh pack SRC OUT.pkg [--compress] [--type N] [--game 1|2 | --key HEX] [--exclude REL]...
#                         runs pkgtool with the given arguments
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

if (($# == 0)); then
  if [[ -z ${DISPLAY:-} ]]; then
    echo "run.sh: no X display (DISPLAY is not set), so the window cannot open." >&2
    echo "  Run it on a desktop, or on a virtual one: scripts/with-xvfb ./run.sh" >&2
    exit 2
  fi
  (
    cd "$here"
    scripts/install-deps.sh windows
    cmake --preset windows >/dev/null
    cmake --build build/windows --target Zerith_DURAdazov -j "$(nproc)"
  ) >&2
  # The settings file, Zerith_DURAdazov.ini, lies beside the executable.
  exec "$here/scripts/wine-run" "$here/build/windows/window/Zerith_DURAdazov.exe"
fi

# Build in a subshell so that relative paths in the arguments stay the caller's.
(
  cd "$here"
  scripts/install-deps.sh native
  cmake --preset linux >/dev/null
  cmake --build build/linux --target pkgtool -j "$(nproc)"
) >&2

exec "$here/build/linux/tools/pkgtool/pkgtool" "$@"
