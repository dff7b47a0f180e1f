#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Binary patch benchmark: kbdiff/kbpatch against Debian's bsdiff/bspatch on two real pairs of
# consecutive releases (a ~10 MB executable and a ~9 MB JavaScript file, fetched with `npm pack`
# into a cache outside the repository), or on a deterministic synthetic pair when the registry is
# unreachable. Prints a table of sizes, median times (min-max) and peak memory as ratios against
# their targets. Not part of CI.
# Usage: bench/patch.sh [RUNS]        (RUNS interleaved generation runs per tool, default 5;
#                                      application runs max(RUNS, 9) times)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
RUNS=${1:-5}

bench_install bsdiff hyperfine bzip2 time
bench_build
KBDIFF=$BENCH_BIN/kbdiff
KBPATCH=$BENCH_BIN/kbpatch

CACHE=$BENCH_CACHE
mkdir -p "$CACHE"
fetch() { bench_fetch "$@"; }

pairs=()
if command -v npm >/dev/null &&
  e1=$(fetch @esbuild/linux-x64 0.20.1 bin/esbuild) && e2=$(fetch @esbuild/linux-x64 0.20.2 bin/esbuild) &&
  t1=$(fetch typescript 5.4.5 lib/typescript.js) && t2=$(fetch typescript 5.5.2 lib/typescript.js); then
  pairs+=("esbuild-0.20.1-0.20.2 $e1 $e2" "typescript.js-5.4.5-5.5.2 $t1 $t2")
else
  echo "registry unreachable: using a synthetic pair" >&2
  syn="$CACHE/synthetic"; mkdir -p "$syn"
  # 10 MB of pseudo-random "code"; the new version has inserted, deleted and shifted blocks.
  perl -e 'srand(42); my $s = ""; $s .= pack("C", int(rand(256)) & (rand() < .5 ? 0x0F : 0xFF)) for 1..10_000_000; print $s' >"$syn/old"
  perl -e 'srand(7); local $/; my $s = <STDIN>; for (1..200) { my $p = int(rand(length($s) - 5000));
    my $r = rand(); if ($r < .3) { substr($s, $p, 0) = pack("C*", map { int(rand(256)) } 1..int(rand(500))) }
    elsif ($r < .6) { substr($s, $p, int(rand(500))) = "" } else { for (my $i = $p; $i < $p + 4000; $i += 16) { substr($s, $i, 1) = chr((ord(substr($s, $i, 1)) + 16) & 255) } } } print $s' <"$syn/old" >"$syn/new"
  pairs+=("synthetic $syn/old $syn/new")
fi

W=$(mktemp -d); trap 'rm -rf "$W"' EXIT
# Patch application is quick and noisy: at least 9 interleaved runs.
APPLY_RUNS=$((RUNS > 9 ? RUNS : 9))
# measure NAME CMD...: appends "seconds kilobytes cpu" of one run to $W/NAME.
measure() { local n=$1; shift; bench_measure "$W/$n" "$@"; }
med() { bench_median "$2" <"$W/$1"; }
rng() { bench_range "$2" <"$W/$1"; }
verdict() { awk "BEGIN {exit !($1 <= $2)}" && echo met || echo "not met"; }

echo "machine: $(bench_machine)"
echo
echo "| pair | measurement | kbdiff/kbpatch: median (min-max) | bsdiff/bspatch: median (min-max) | ratio | target | |"
echo "|---|---|---|---|---|---|---|"
for pair in "${pairs[@]}"; do
  set -- $pair; name=$1 old=$2 new=$3
  rm -f "$W"/kdz "$W"/bd "$W"/kp "$W"/bp
  for ((i = 0; i < RUNS; i++)); do  # interleaved: each round runs every command once
    measure kdz sh -c "'$KBDIFF' '$old' '$new' '$W/pz' && bzip2 -9 -f '$W/pz'"
    measure bd bsdiff "$old" "$new" "$W/b"
  done
  for ((i = 0; i < APPLY_RUNS; i++)); do
    measure kp "$KBPATCH" "$old" "$W/out-k" "$W/pz.bz2"
    measure bp bspatch "$old" "$W/out-b" "$W/b"
  done
  cmp "$W/out-k" "$new" && cmp "$W/out-b" "$new"
  ours=$(stat -c %s "$W/pz.bz2"); theirs=$(stat -c %s "$W/b")
  size=$(awk "BEGIN {printf \"%.3f\", $ours / $theirs}")
  gen=$(bench_ratio "$(med kdz 1)" "$(med bd 1)")
  mem=$(bench_ratio "$(med kdz 2)" "$(med bd 2)")
  app=$(bench_ratio "$(med kp 1)" "$(med bp 1)")
  echo "| $name | patch size (kbdiff + \`bzip2 -9\`) | $ours bytes | $theirs bytes | **$size** | ≤ 0.95 (stretch 0.90) | $(verdict "$size" 0.95) |"
  echo "| $name | generation time ($RUNS runs) | $(med kdz 1) s ($(rng kdz 1)) | $(med bd 1) s ($(rng bd 1)) | **$gen** | ≤ 1.0 | $(verdict "$gen" 1.0) |"
  echo "| $name | generation peak memory | $(med kdz 2) KB ($(rng kdz 2)) | $(med bd 2) KB ($(rng bd 2)) | **$mem** | ≤ 0.7 | $(verdict "$mem" 0.7) |"
  echo "| $name | application, compressed patch as stored ($APPLY_RUNS runs) | $(med kp 1) s ($(rng kp 1)) | $(med bp 1) s ($(rng bp 1)) | **$app** | ≤ 1.0 | $(verdict "$app" 1.0) |"
done
