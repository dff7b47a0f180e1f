#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cost of crash safety (the lock, the journal, the flushes, the atomic status file and the log
# written per line): this tree's updater against a build of a base commit from before them, in the
# same interleaved rounds. Measured: the complete update of the real-release tree in place (on disk),
# the 10k-file update on disk and in memory, and the 100k-file update in memory (where a flush
# costs nothing, so what remains is the per-line log and the journal). The per-line log alone is
# measured as the base commit with only its log made line-buffered.
#
# Usage: bench/durability.sh [RUNS [BASE_COMMIT]]   (defaults 5 and 0063f79; 100k: min(RUNS, 3))
# Prints the table (the figures of bench/README.md, "Durability cost"). Not part of the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
RUNS=${1:-5}
BASE=${2:-0063f79}

bench_install time
bench_build
W=$(mktemp -d)
S=$(mktemp -d -p "$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)")
cleanup() {
  git worktree remove --force "$W/base-src" 2>/dev/null || true
  git worktree remove --force "$W/baselog-src" 2>/dev/null || true
  rm -rf "$W" "$S"
}
trap cleanup EXIT
git worktree add -q --detach "$W/base-src" "$BASE"
cmake -S "$W/base-src" -B "$W/base-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DUPDATER_BUILD_TESTS=OFF >/dev/null
cmake --build "$W/base-build" >/dev/null
git worktree add -q --detach "$W/baselog-src" "$BASE"
sed -i 's|^  file_ = fopen(path, append ? "a" : "w");$|&\n  if (file_) setvbuf(file_, nullptr, _IOLBF, BUFSIZ);|' \
  "$W/baselog-src/src/base/update_log.cc"
grep -q _IOLBF "$W/baselog-src/src/base/update_log.cc"
cmake -S "$W/baselog-src" -B "$W/baselog-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DUPDATER_BUILD_TESTS=OFF >/dev/null
cmake --build "$W/baselog-build" >/dev/null
declare -A BIN=([base]=$W/base-build/bin/updater [ours]=$BENCH_BIN/updater
  [baselog]=$W/baselog-build/bin/updater)
VARIANTS=(base ours baselog)

TREE_OLD=$(bench_fetch typescript 5.4.4) && TREE_NEW=$(bench_fetch typescript 5.4.5) || {
  echo "registry unreachable: using the generated tree" >&2
  TREE_OLD=$BENCH_CACHE/scale-1000 TREE_NEW=$BENCH_CACHE/scale-1000-new
  scale_tree "$TREE_OLD" 1000 && scale_tree "$TREE_NEW" 1000
}
for n in 10000 100000; do scale_tree "$BENCH_CACHE/scale-$n" "$n"; done
"$BENCH_BIN/make-update" --no-progress "$TREE_OLD" "$W/old.upk" >/dev/null
"$BENCH_BIN/make-update" --no-progress "$TREE_NEW" "$W/new.upk" >/dev/null
mkdir -p "$W/p-install" "$W/installed" && cp "$W/old.upk" "$W/p-install/update.upk"
"$BENCH_BIN/updater" "$W/p-install" "$W/installed" "$W/installed"
for n in 10000 100000; do
  "$BENCH_BIN/make-update" --no-progress "$BENCH_CACHE/scale-$n" "$W/scale-$n.upk" >/dev/null
done

# run NAME VARIANT PATCH_DIR UPK DIR: one measured update of DIR (which must be ready).
run() {
  mkdir -p "$3" && cp "$4" "$3/update.upk"
  bench_measure "$W/m-$1-$2" "${BIN[$2]}" "$3" "$5" "$5"
  grep -qx succeeded "$3/update.status" || { echo "$1/$2 failed: $(cat "$3/update.status")" >&2; exit 1; }
}
echo "machine: $(bench_machine); $RUNS rounds; base $BASE" >&2
for ((r = 1; r <= RUNS; r++)); do
  echo "round $r/$RUNS" >&2
  # The order of the variants turns each round, so that none always runs first.
  order=("${VARIANTS[@]:r%4}" "${VARIANTS[@]:0:r%4}")
  for v in "${order[@]}"; do
    rm -rf "$W/u" && cp -a "$W/installed" "$W/u" && sync
    run complete "$v" "$W/p" "$W/new.upk" "$W/u"
    rm -rf "$W/d" && sync
    run disk10k "$v" "$W/p" "$W/scale-10000.upk" "$W/d"
    run mem10k "$v" "$S/p" "$W/scale-10000.upk" "$S/d"
    rm -rf "$S/d"
    if [ "$r" -le 3 ]; then
      run mem100k "$v" "$S/p" "$W/scale-100000.upk" "$S/d"
      rm -rf "$S/d"
    fi
  done
done

med() { bench_median 1 <"$W/m-$1-$2"; }
cpu() { bench_median 3 <"$W/m-$1-$2"; }
echo "Wall clock, and in brackets processor time (user + system), which other work on a shared machine"
echo "disturbs less. Ratios are against the base."
echo
echo "| update | base $BASE: median (min-max) [cpu] | this tree, one syncfs: median (min-max) [cpu] | ratio [cpu] | base + line-buffered log only [cpu] | ratio [cpu] |"
echo "|---|---|---|---|---|---|---|---|"
for m in complete disk10k mem10k mem100k; do
  case $m in
    complete) label="complete update in place, $(find "$TREE_NEW" -type f | wc -l) files (disk)" ;;
    disk10k) label="10k small files into an empty folder (disk)" ;;
    mem10k) label="10k small files into an empty folder (tmpfs)" ;;
    mem100k) label="100k small files into an empty folder (tmpfs)" ;;
  esac
  b=$(med $m base)
  c=$(cpu $m base)
  echo "| $label | $b s ($(bench_range 1 <"$W/m-$m-base")) [$c s] | $(med $m ours) s ($(bench_range 1 <"$W/m-$m-ours")) [$(cpu $m ours) s] | **$(bench_ratio "$(med $m ours)" "$b")** [$(bench_ratio "$(cpu $m ours)" "$c")] | $(med $m baselog) s [$(cpu $m baselog) s] | $(bench_ratio "$(med $m baselog)" "$b") [$(bench_ratio "$(cpu $m baselog)" "$c")] |"
done
