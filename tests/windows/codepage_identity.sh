#!/usr/bin/env bash
# pkgtool.exe under a Chinese (code page 936) and an English (code page 1252)
# Windows gives byte-identical archives of a tree with Chinese names: names
# reach the index through code page 936 explicitly, never the ANSI code page.
#   codepage_identity.sh PKGTOOL_EXE PRINT_ACP_EXE
set -euo pipefail
exe=$1
acp_exe=$2
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../scripts/wine-run

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/数据/子目录" "$work/src/lüe"
printf 'alpha' >"$work/src/readme.txt"
printf '中文内容' >"$work/src/数据/文件.txt"
printf '' >"$work/src/数据/子目录/空.bin"
printf 'pinyin' >"$work/src/lüe/dié.dat"

for lang in zh_CN.UTF-8 en_US.UTF-8; do
  PKG_WINE_LANG=$lang "$run" "$exe" pack "$work/src" "$work/$lang.pkg" --compress >/dev/null
done

# Proof that the two runs really saw different systems.
cp936=$(PKG_WINE_LANG=zh_CN.UTF-8 "$run" "$acp_exe" | tr -dc '0-9')
cp1252=$(PKG_WINE_LANG=en_US.UTF-8 "$run" "$acp_exe" | tr -dc '0-9')
if [[ $cp936 != 936 || $cp1252 != 1252 ]]; then
  echo "FAIL: the locales gave ANSI code pages $cp936 and $cp1252, not 936 and 1252" >&2
  exit 1
fi
if ! cmp "$work/zh_CN.UTF-8.pkg" "$work/en_US.UTF-8.pkg"; then
  echo "FAIL: the archives differ between the two code pages" >&2
  exit 1
fi
echo "identical archives under code pages $cp936 and $cp1252"
