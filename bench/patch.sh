#!/usr/bin/env bash
# Binary patch benchmark: kbdiff/kbpatch against Debian's bsdiff/bspatch on two real pairs of
# consecutive releases (a ~10 MB executable and a ~9 MB JavaScript file, fetched with `npm pack`
# into a cache outside the repository), or on a deterministic synthetic pair when the registry is
# unreachable. Prints sizes, median times (min-max) and peak memory as ratios. Not part of CI.
# Usage: bench/patch.sh [RUNS]        (RUNS interleaved runs per tool, default 5)
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
median() { sort -g | awk '{a[NR]=$1} END {m = NR % 2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2; printf "%.3f (%.3f-%.3f)", m, a[1], a[NR]}'; }
medv() { bench_median 1; }
# measure NAME CMD...: appends "seconds kilobytes" of one run to $W/NAME.
measure() { local n=$1; shift; bench_measure "$W/$n" "$@"; }

echo "machine: $(bench_machine)"
for pair in "${pairs[@]}"; do
  set -- $pair; name=$1 old=$2 new=$3
  rm -f "$W"/kd "$W"/kdz "$W"/bd "$W"/kp "$W"/bp
  for ((i = 0; i < RUNS; i++)); do  # interleaved: each round runs every command once
    measure kd "$KBDIFF" "$old" "$new" "$W/p"
    measure kdz sh -c "'$KBDIFF' '$old' '$new' '$W/pz' && bzip2 -9 -f '$W/pz'"
    measure bd bsdiff "$old" "$new" "$W/b"
    measure kp "$KBPATCH" "$old" "$W/out-k" "$W/pz.bz2"
    measure bp bspatch "$old" "$W/out-b" "$W/b"
  done
  cmp "$W/out-k" "$new" && cmp "$W/out-b" "$new"
  ours=$(stat -c %s "$W/pz.bz2"); theirs=$(stat -c %s "$W/b")
  echo
  echo "== $name: old $(stat -c %s "$old") bytes, new $(stat -c %s "$new") bytes, $RUNS runs"
  echo "patch size: kbdiff + bzip2 -9 $ours bytes (uncompressed $(stat -c %s "$W/p")), bsdiff $theirs bytes, ratio $(awk "BEGIN{printf \"%.3f\", $ours/$theirs}")"
  for n in kd kdz bd kp bp; do
    printf "%-28s time %s s  peak %s KB\n" \
      "$(case $n in kd) echo kbdiff;; kdz) echo 'kbdiff + bzip2 -9';; bd) echo bsdiff;; kp) echo 'kbpatch (patch.bz2)';; bp) echo bspatch;; esac)" \
      "$(cut -d' ' -f1 "$W/$n" | median)" "$(cut -d' ' -f2 "$W/$n" | medv)"
  done
  t() { cut -d' ' -f1 "$W/$1" | medv; }
  m() { cut -d' ' -f2 "$W/$1" | medv; }
  echo "ratios: kbdiff/bsdiff time $(awk "BEGIN{printf \"%.2f\", $(t kd)/$(t bd)}") (with bzip2 -9 $(awk "BEGIN{printf \"%.2f\", $(t kdz)/$(t bd)}")), peak memory $(awk "BEGIN{printf \"%.2f\", $(m kd)/$(m bd)}"); kbpatch/bspatch time $(awk "BEGIN{printf \"%.2f\", $(t kp)/$(t bp)}")"
  echo "hyperfine cross-check:"
  hyperfine -N -w 1 -r "$RUNS" --style basic \
    -n kbpatch "'$KBPATCH' '$old' '$W/out-k' '$W/pz.bz2'" -n bspatch "bspatch '$old' '$W/out-b' '$W/b'" 2>&1 |
    grep -E "Time|±|faster" || true
done
