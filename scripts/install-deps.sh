#!/usr/bin/env bash
# Install the Debian packages the build needs, only if some are missing.
#   scripts/install-deps.sh native    Linux build, tests, sanitizers, fuzzers, benchmarks
#   scripts/install-deps.sh windows   mingw-w64 cross build and the tests under Wine
#   scripts/install-deps.sh all       both
# Runs as root on Debian 12. A second run changes nothing and does not touch the network.
set -euo pipefail

native_pkgs=(cmake ninja-build g++ zlib1g-dev libgtest-dev googletest libbenchmark-dev
             clang libclang-rt-14-dev time)
# googletest ships the sources in /usr/src/googletest that the Windows build compiles.
# The wine X libraries and fonts-wine are only "Recommends", which we skip to keep the
# install small; the GUI checks need them (XRender for anti-aliased text, fonts-wine for
# Tahoma/MS Sans Serif replacements, fonts-wqy-microhei for Chinese glyphs).
windows_pkgs=(cmake ninja-build googletest
              g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
              libz-mingw-w64-dev wine wine64 fonts-wine libxrender1 libxrandr2 libxi6
              libxcursor1 libxfixes3 libxinerama1 libxcomposite1
              xvfb xauth x11-utils imagemagick locales fonts-wqy-microhei)

case "${1:-}" in
  native) wanted=("${native_pkgs[@]}") ;;
  windows) wanted=("${windows_pkgs[@]}") ;;
  all) wanted=("${native_pkgs[@]}" "${windows_pkgs[@]}") ;;
  *) echo "usage: $0 native|windows|all" >&2; exit 2 ;;
esac

[[ $(id -u) -eq 0 ]] || { echo "install-deps: must run as root" >&2; exit 1; }

missing=()
for p in "${wanted[@]}"; do
  # "install ok installed" only; "un"/"rc" (removed, config left) count as missing.
  if [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) != "install ok installed" ]]; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "install-deps: $1 packages already installed"
fi

# The Wine tests run with zh_CN.UTF-8 (ANSI code page 936) and en_US.UTF-8 (1252);
# Wine derives the code page from LANG, so the Linux locales must exist.
if [[ $1 != native ]]; then
  gen=()
  for loc in zh_CN en_US; do
    locale -a 2>/dev/null | grep -qix "$loc.utf-\?8" || gen+=("$loc.UTF-8")
  done
  if ((${#gen[@]})); then
    echo "install-deps: generating locales ${gen[*]}"
    for loc in "${gen[@]}"; do
      # Uncomment the line in /etc/locale.gen, or append it if absent.
      sed -i "s/^# *\($loc UTF-8\)/\1/" /etc/locale.gen
      grep -qx "$loc UTF-8" /etc/locale.gen || echo "$loc UTF-8" >>/etc/locale.gen
    done
    locale-gen >/dev/null
  else
    echo "install-deps: locales present"
  fi
fi
