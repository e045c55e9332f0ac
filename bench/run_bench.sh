#!/usr/bin/env bash
# Packs the benchmark corpora with pkgtool and with the usual tools, side by
# side, and prints a table of median wall times, ratios and peak memory.
#
#   bench/run_bench.sh [mixed] [small] [big]     (default: all three)
#
# Environment: ROUNDS (runs of each command, default 5), THREADS (pigz's -p and
# the cores pkgtool is meant to use, default nproc), PKGBENCH_DIR (corpora and
# outputs, default /tmp/pkgbench; about 3 GB). The commands run in turn within
# each round, so that a busy moment of the machine spreads over all of them,
# each from a warm page cache.
# Every archive pkgtool writes is compared with the one written with
# --threads 1: the bytes must not depend on the threads.
# On mixed and big, repacks over the fresh archive follow: the tree unchanged,
# and with 1% of its files (every hundredth non-empty one in name order, at
# least one) changed by one byte, put back afterwards. Each must give the
# bytes of a fresh pack of the same tree.
#
# SYNC_COST=1 runs pkgtool alone, with and without --no-sync, compressed and
# stored, and prints what waiting for the disk costs.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-5}
threads=${THREADS:-$(nproc)}
root=${PKGBENCH_DIR:-/tmp/pkgbench}
corpora=("$@")
((${#corpora[@]})) || corpora=(mixed small big)

need=()
tools=(zip pigz tar cp)
[[ ${SYNC_COST:-0} == 1 ]] && tools=(tar)
for tool in "${tools[@]}"; do command -v "$tool" >/dev/null || need+=("$tool"); done
[[ -x /usr/bin/time ]] || need+=(time)
if ((${#need[@]})); then
  echo "run_bench: installing ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

scripts/install-deps.sh native >/dev/null
cmake --preset linux >/dev/null
cmake --build build/linux --target pkgtool make_corpus >/dev/null
pkgtool=$PWD/build/linux/tools/pkgtool/pkgtool
build/linux/bench/make_corpus "$root" "${corpora[@]}"
out=$root/out
mkdir -p "$out"

# run NAME CORPUS COMMAND...: one timed run in the corpus folder; appends
# "NAME seconds kilobytes" to the results.
results=$out/results.txt
: >"$results"
run() {
  local name=$1 corpus=$2
  shift 2
  rm -f "$out"/archive.*
  sync
  # Warm: this machine may drop a corpus from the page cache between runs.
  # (Through a pipe: GNU tar reads nothing when it writes to /dev/null.)
  tar cf - -C "$root" "$corpus" | cat >/dev/null
  local t0 t1
  t0=$(date +%s%N)
  (cd "$root/$corpus" && /usr/bin/time -f "%M" -o "$out/rss" "$@" >/dev/null)
  t1=$(date +%s%N)
  echo "$corpus $name $(((t1 - t0) / 1000000)) $(tail -n 1 "$out/rss")" >>"$results"
}

# flip_all DIR: XORs the first byte of each chosen file below DIR with 1; a
# second call puts them back.
chosen=()
flip_all() {
  local f b
  for f in "${chosen[@]}"; do
    b=$(od -An -tu1 -N1 "$1/$f")
    printf "\\x$(printf %02x $(((b ^ 1) & 255)))" | dd of="$1/$f" bs=1 count=1 conv=notrunc status=none
  done
}

for corpus in "${corpora[@]}"; do
  # Warm the page cache, then the reference archives of the one-thread job.
  tar cf - -C "$root" "$corpus" | cat >/dev/null
  "$pkgtool" pack "$root/$corpus" "$out/ref-compressed.pkg" --compress --threads 1 >/dev/null
  "$pkgtool" pack "$root/$corpus" "$out/ref-stored.pkg" --threads 1 >/dev/null
  for ((r = 1; r <= rounds; r++)); do
    echo "run_bench: $corpus, round $r of $rounds" >&2
    if [[ ${SYNC_COST:-0} == 1 ]]; then
      for mode in compressed stored; do
        flag=(); [[ $mode == compressed ]] && flag=(--compress)
        run "pkgtool-$mode" "$corpus" "$pkgtool" pack . "$out/archive.pkg" "${flag[@]}"
        cmp -s "$out/archive.pkg" "$out/ref-$mode.pkg" || { echo "bytes differ" >&2; exit 1; }
        run "pkgtool-$mode-nosync" "$corpus" "$pkgtool" pack . "$out/archive.pkg" "${flag[@]}" --no-sync
        cmp -s "$out/archive.pkg" "$out/ref-$mode.pkg" || { echo "bytes differ" >&2; exit 1; }
      done
      continue
    fi
    run "pkgtool-compressed" "$corpus" "$pkgtool" pack . "$out/archive.pkg" --compress
    cmp -s "$out/archive.pkg" "$out/ref-compressed.pkg" || { echo "bytes differ" >&2; exit 1; }
    run "zip" "$corpus" zip -q -6 -r "$out/archive.zip" .
    run "tar|pigz" "$corpus" sh -c "tar cf - . | pigz -6 -p $threads > '$out/archive.tgz'"
    run "pkgtool-stored" "$corpus" "$pkgtool" pack . "$out/archive.pkg"
    cmp -s "$out/archive.pkg" "$out/ref-stored.pkg" || { echo "bytes differ" >&2; exit 1; }
    run "tar" "$corpus" tar cf "$out/archive.tar" .
    if [[ $corpus == big ]]; then
      run "cp" "$corpus" cp big.bin "$out/archive.bin"
    fi
  done
  if [[ $corpus == mixed || $corpus == big ]]; then
    mapfile -t chosen < <(cd "$root/$corpus" && find . -type f -size +0 | LC_ALL=C sort |
      awk 'NR % 100 == 1')
    trap 'flip_all "$root/$corpus"' EXIT
    flip_all "$root/$corpus"
    "$pkgtool" pack "$root/$corpus" "$out/ref-changed.pkg" --compress --no-reuse --threads 1 >/dev/null
    flip_all "$root/$corpus"
    trap - EXIT
    for ((r = 1; r <= rounds; r++)); do
      echo "run_bench: $corpus repacks, round $r of $rounds" >&2
      cp "$out/ref-compressed.pkg" "$out/repack.pkg"
      run "pkgtool-compressed" "$corpus" "$pkgtool" pack . "$out/archive.pkg" --compress
      run "repack-unchanged" "$corpus" "$pkgtool" pack . "$out/repack.pkg" --compress
      cmp -s "$out/repack.pkg" "$out/ref-compressed.pkg" || { echo "bytes differ" >&2; exit 1; }
      cp "$out/ref-compressed.pkg" "$out/repack.pkg"
      trap 'flip_all "$root/$corpus"' EXIT
      flip_all "$root/$corpus"
      run "repack-1%" "$corpus" "$pkgtool" pack . "$out/repack.pkg" --compress
      flip_all "$root/$corpus"
      trap - EXIT
      cmp -s "$out/repack.pkg" "$out/ref-changed.pkg" || { echo "bytes differ" >&2; exit 1; }
    done
  fi
  rm -f "$out"/archive.* "$out"/ref-*.pkg "$out"/repack.pkg
done

if [[ ${SYNC_COST:-0} == 1 ]]; then
  awk -v rounds="$rounds" '
    { key = $1 " " $2; n[key]++; t[key, n[key]] = $3; if (!seen[$1]++) order[++corpora] = $1 }
    function median(key,   k, i, j, v, c) {
      c = n[key]; for (i = 1; i <= c; i++) v[i] = t[key, i]
      for (i = 2; i <= c; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { k = v[j]; v[j] = v[j - 1]; v[j - 1] = k }
      return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
    }
    function row(c, mode,   a, b) {
      a = median(c " pkgtool-" mode) / 1000; b = median(c " pkgtool-" mode "-nosync") / 1000
      return sprintf("%.2f s | %.2f s | %+.2f s (%+.0f%%)", a, b, a - b, b > 0 ? 100 * (a - b) / b : 0)
    }
    END {
      print "| corpus | compressed | compressed --no-sync | cost of syncing | stored | stored --no-sync | cost of syncing |"
      print "|---|---|---|---|---|---|---|"
      for (i = 1; i <= corpora; i++)
        printf "| %s | %s | %s |\n", order[i], row(order[i], "compressed"), row(order[i], "stored")
      printf "\nMedians of %d runs each.\n", rounds
    }' "$results"
  exit 0
fi

# Medians, the ratios the issue asks about, and peak memory.
awk -v threads="$threads" -v rounds="$rounds" '
  { key = $1 " " $2; n[key]++; t[key, n[key]] = $3; if ($4 > m[key]) m[key] = $4;
    if (!seen[$1]++) order[++corpora] = $1 }
  function median(key,   k, i, j, v, c) {
    c = n[key]; for (i = 1; i <= c; i++) v[i] = t[key, i]
    for (i = 2; i <= c; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { k = v[j]; v[j] = v[j - 1]; v[j - 1] = k }
    return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
  }
  function cell(c, name) { return (c " " name) in n ? sprintf("%.2f s", median(c " " name) / 1000) : "" }
  function ratio(c, a, b) {
    return ((c " " a) in n && (c " " b) in n) ? sprintf("%.2f×", median(c " " a) / median(c " " b)) : ""
  }
  function mem(c, name) { return (c " " name) in n ? sprintf("%.0f", m[c " " name] / 1024) : "" }
  END {
    printf "| corpus | pkgtool --compress | zip -6 -r | tar \\| pigz -6 -p %d | pkgtool (stored) | tar cf | cp | compressed ÷ pigz | compressed ÷ zip | stored ÷ tar | stored ÷ cp | peak MiB: compressed / stored |\n", threads
    print "|---|---|---|---|---|---|---|---|---|---|---|---|"
    for (i = 1; i <= corpora; i++) {
      c = order[i]
      printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s / %s |\n", c,
        cell(c, "pkgtool-compressed"), cell(c, "zip"), cell(c, "tar|pigz"), cell(c, "pkgtool-stored"),
        cell(c, "tar"), cell(c, "cp"), ratio(c, "pkgtool-compressed", "tar|pigz"),
        ratio(c, "pkgtool-compressed", "zip"), ratio(c, "pkgtool-stored", "tar"),
        ratio(c, "pkgtool-stored", "cp"), mem(c, "pkgtool-compressed"), mem(c, "pkgtool-stored")
    }
    printf "\n| corpus | pkgtool --compress, fresh | repack, unchanged | repack, 1%% of files changed | unchanged ÷ fresh | 1%% changed ÷ fresh | peak MiB: fresh / unchanged / 1%% |\n"
    print "|---|---|---|---|---|---|---|"
    for (i = 1; i <= corpora; i++) {
      c = order[i]
      if (!((c " repack-unchanged") in n)) continue
      printf "| %s | %s | %s | %s | %s | %s | %s / %s / %s |\n", c, cell(c, "pkgtool-compressed"),
        cell(c, "repack-unchanged"), cell(c, "repack-1%"), ratio(c, "repack-unchanged", "pkgtool-compressed"),
        ratio(c, "repack-1%", "pkgtool-compressed"), mem(c, "pkgtool-compressed"),
        mem(c, "repack-unchanged"), mem(c, "repack-1%")
    }
    printf "\nMedians of %d runs each.\n", rounds
  }' "$results"
