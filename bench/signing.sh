#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cost of the signature check against bench/run's complete update: the same corpus (the new
# release tree), the same update in place over the installed old release, once with no trusted key
# (the archive is not checked) and once with the publisher's key in update-keys/ (the archive is
# checked first), and `upk verify` alone on the same signed archive. Medians of RUNS interleaved
# rounds; the check's share is reported as verify / unchecked update and as the difference between
# the checked and the unchecked update. Not part of the test suite.
#
# Usage: bench/signing.sh [RUNS]     (default 7; environment as for bench/run)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
RUNS=${1:-7}

bench_install time
bench_build
B=$BENCH_BIN
unset DISPLAY
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT

if [ -z "${BENCH_SYNTHETIC:-}" ] &&
  TREE_OLD=$(bench_fetch typescript 5.4.4) && TREE_NEW=$(bench_fetch typescript 5.4.5); then
  CORPUS="typescript 5.4.4 -> 5.4.5 (tree), from npm"
else
  echo "registry unreachable (or BENCH_SYNTHETIC set): generate the corpus with bench/run first" >&2
  TREE_OLD=$BENCH_CACHE/synthetic-run/tree-old TREE_NEW=$BENCH_CACHE/synthetic-run/tree-new
  CORPUS="generated (bench/run's synthetic tree)"
  [ -d "$TREE_NEW" ] || { echo "no corpus at $TREE_NEW" >&2; exit 1; }
fi

"$B/upk" keygen "$W/key.pub" "$W/key.secret" >/dev/null
"$B/make-update" --no-progress "$TREE_OLD" "$W/old.upk" >/dev/null
"$B/make-update" --no-progress --sign "$W/key.secret" "$TREE_NEW" "$W/new.upk" >/dev/null
mkdir -p "$W/p-install" "$W/installed" && cp "$W/old.upk" "$W/p-install/update.upk"
"$B/updater" "$W/p-install" "$W/installed" "$W/installed"
grep -qx succeeded "$W/p-install/update.status"
mkdir -p "$W/p-plain" "$W/p-signed"
cp "$W/new.upk" "$W/p-plain/update.upk" && cp "$W/new.upk" "$W/p-signed/update.upk"

M=$W/m
mkdir -p "$M"
echo "corpus: $CORPUS; archive $(stat -c %s "$W/new.upk") bytes" >&2
echo "machine: $(bench_machine); $RUNS rounds" >&2
for ((r = 1; r <= RUNS; r++)); do
  echo "round $r/$RUNS" >&2
  rm -rf "$W/u" "$W/s" && cp -a "$W/installed" "$W/u" && cp -a "$W/installed" "$W/s"
  mkdir -p "$W/s/update-keys" && cp "$W/key.pub" "$W/s/update-keys/"
  bench_measure "$M/plain" "$B/updater" "$W/p-plain" "$W/u" "$W/u"
  grep -qx succeeded "$W/p-plain/update.status"
  bench_measure "$M/checked" "$B/updater" "$W/p-signed" "$W/s" "$W/s"
  grep -qx succeeded "$W/p-signed/update.status"
  grep -q "signed by trusted key" "$W/p-signed/update.log"
  bench_measure "$M/verify" "$B/upk" verify "$W/new.upk" "$W/key.pub"
done

med() { bench_median "$2" <"$M/$1"; }
pct() { awk "BEGIN {printf \"%.1f %%\", 100 * ($1) / $2}"; }
echo "| measure (median of $RUNS) | wall seconds (min-max) | processor seconds |"
echo "|---|---|---|"
echo "| complete update, archive not checked | $(med plain 1) ($(bench_range 1 <"$M/plain")) | $(med plain 3) |"
echo "| complete update, archive checked first | $(med checked 1) ($(bench_range 1 <"$M/checked")) | $(med checked 3) |"
echo "| \`upk verify\` alone, same archive | $(med verify 1) ($(bench_range 1 <"$M/verify")) | $(med verify 3) |"
echo "| verify / unchecked update | $(pct "$(med verify 1)" "$(med plain 1)") | $(pct "$(med verify 3)" "$(med plain 3)") |"
echo "| (checked - unchecked) / unchecked | $(pct "$(med checked 1) - $(med plain 1)" "$(med plain 1)") | $(pct "$(med checked 3) - $(med plain 3)" "$(med plain 3)") |"
