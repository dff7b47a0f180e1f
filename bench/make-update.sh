#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmark of make-update on a real pair of consecutive releases of a package with thousands of
# files (fetched once with `npm pack` into a cache outside the repository; a deterministic
# synthetic pair is generated when the registry cannot be reached). Reports the partial update's
# size against the complete update's (target: at most a third) and the time to build the partial
# update against `tar -cjf` of the new tree (target: at most 1.0), medians of interleaved runs.
# Not part of the test suite. Usage: bench/make-update.sh [RUNS]   (default 5)
# Environment: BENCH_CACHE (default ~/.cache/updater-bench), BENCH_PACKAGE, BENCH_OLD, BENCH_NEW.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
CACHE=${BENCH_CACHE:-$HOME/.cache/updater-bench}
PACKAGE=${BENCH_PACKAGE:-date-fns}
OLD_V=${BENCH_OLD:-4.2.1}
NEW_V=${BENCH_NEW:-4.3.0}

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF >/dev/null
cmake --build build-release --target make_update >/dev/null
TOOL=$PWD/build-release/bin/make-update

mkdir -p "$CACHE"
fetch() {  # $1 version -> prints the unpacked tree's path, or fails
  local dir="$CACHE/$PACKAGE-$1"
  if [ ! -d "$dir/package" ]; then
    (cd "$CACHE" && timeout 120 npm pack --silent "$PACKAGE@$1" >/dev/null 2>&1) || return 1
    mkdir -p "$dir" && tar xzf "$CACHE/$PACKAGE-$1.tgz" -C "$dir"
  fi
  echo "$dir/package"
}
synthetic() {  # deterministic pair: 4000 text files, 10% changed, 2% removed, 2% added
  local dir="$CACHE/synthetic"
  if [ ! -d "$dir/new" ]; then
    python3 - "$dir" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(1)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9))) for _ in range(3000)]
def text(r, n): return '\n'.join(' '.join(r.choice(words) for _ in range(12)) for _ in range(n)) + '\n'
for i in range(4000):
    rel = 'mod%02d/sub%d/file%04d.js' % (i % 40, i % 7, i)
    body = text(rng, rng.randint(5, 200))
    for side in ('old', 'new'):
        if (side == 'new' and i % 50 == 0) or (side == 'old' and i % 50 == 1): continue
        data = body if side == 'old' or i % 10 else body.replace(' a', ' A', 3) + 'changed\n'
        p = os.path.join(root, side, rel); os.makedirs(os.path.dirname(p), exist_ok=True)
        open(p, 'w').write(data)
PY
  fi
  echo "$dir/old $dir/new"
}
if OLD=$(fetch "$OLD_V") && NEW=$(fetch "$NEW_V"); then
  LABEL="$PACKAGE $OLD_V -> $NEW_V (npm)"
else
  read -r OLD NEW < <(synthetic)
  LABEL="synthetic pair (registry unreachable)"
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
"$TOOL" --no-progress "$NEW" "$WORK/complete.upk" >/dev/null
for i in $(seq "$RUNS"); do
  t0=$(now); "$TOOL" --no-progress --from "$OLD" "$NEW" "$WORK/partial.upk" >/dev/null; t1=$(now)
  tar -cjf "$WORK/new.tar.bz2" -C "$NEW" .; t2=$(now)
  echo "$t1 - $t0" | bc >>"$WORK/tool"
  echo "$t2 - $t1" | bc >>"$WORK/tar"
done
files=$(find "$NEW" -type f | wc -l)
partial=$(stat -c %s "$WORK/partial.upk")
complete=$(stat -c %s "$WORK/complete.upk")
tool_t=$(median <"$WORK/tool")
tar_t=$(median <"$WORK/tar")
echo "input:     $LABEL, $files files in the new tree ($(du -sh "$NEW" | cut -f1))"
echo "machine:   $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%Y-%m-%d)"
echo "size:      partial $partial bytes, complete $complete bytes, ratio $(echo "scale=3; $partial / $complete" | bc) (target <= 0.333)"
range() { sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {print lo "-" hi}'; }
echo "time:      make-update --from ${tool_t}s ($(range <"$WORK/tool")), tar -cjf ${tar_t}s ($(range <"$WORK/tar")), ratio $(echo "scale=2; $tool_t / $tar_t" | bc) (target <= 1.0), medians of $RUNS interleaved runs"
"$TOOL" --no-progress --from "$OLD" --dry-run "$NEW" "$WORK/x.upk" | tail -1 | sed 's/^ */members:   /'
