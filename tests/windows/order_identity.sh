#!/usr/bin/env bash
# One tree packs to the same archive with the Linux pkgtool, whatever the file
# system lists first, and with pkgtool.exe under Wine, which lists as NTFS does.
#   order_identity.sh LINUX_PKGTOOL PKGTOOL_EXE
# Exits 77 (skipped) when the Linux build is absent.
set -euo pipefail
linux=$1
exe=$2
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../scripts/wine-run

if [[ ! -x $linux ]]; then
  echo "SKIP: no Linux pkgtool at $linux (build the linux preset first)" >&2
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Names that sort differently by bytes, by letter case ignored and by NTFS's
# upper case: mixed case, _ [ ~ after the letters, digits as characters,
# pinyin é (in code page 936), Greek, Chinese; created in an order unlike the
# result, each folder's files before and after its subfolders.
make_tree() {
  local d=$1
  mkdir -p "$d/zeta/深" "$d/Alpha" "$d/_under" "$d/数据"
  local n
  for n in readme.txt .hidden NOEXT _u '[b' '~t' Z9 10 9 b-c B.c a é dié.dat α Ω ω.bin \
    丁 中文 数据.txt; do
    printf '%s' "$n" >"$d/$n"
  done
  printf 'y' >"$d/zeta/y"
  printf 'A' >"$d/zeta/A"
  printf 'b' >"$d/zeta/b"
  printf 'x' >"$d/zeta/深/x"
  printf 'w' >"$d/Alpha/w"
  printf 'u' >"$d/_under/lüe"
  printf '' >"$d/数据/空.bin"
}

make_tree "$work/src"
"$linux" pack "$work/src" "$work/linux.pkg" --compress --threads 1 >/dev/null
"$linux" pack "$work/src" "$work/linux3.pkg" --compress --threads 3 >/dev/null
"$run" "$exe" pack "$work/src" "$work/wine.pkg" --compress --threads 2 >/dev/null

# tmpfs lists newest first, ext4 by a hash of the name: another file system
# lists the same tree in another order.
shm=/dev/shm
if [[ -d $shm && -w $shm ]]; then
  other=$(mktemp -d -p "$shm")
  trap 'rm -rf "$work" "$other"' EXIT
  make_tree "$other/src"
  "$linux" pack "$other/src" "$work/other.pkg" --compress >/dev/null
  cmp "$work/linux.pkg" "$work/other.pkg" ||
    { echo "FAIL: the tree on $shm packs to other bytes" >&2; exit 1; }
fi

cmp "$work/linux.pkg" "$work/linux3.pkg" ||
  { echo "FAIL: 1 and 3 threads give other bytes" >&2; exit 1; }
if ! cmp "$work/linux.pkg" "$work/wine.pkg"; then
  echo "FAIL: Linux and Windows archives differ; their orders:" >&2
  diff <("$linux" list "$work/linux.pkg") <("$linux" list "$work/wine.pkg") >&2 || true
  exit 1
fi
echo "identical archives from Linux and from Windows under Wine"
