#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Long fuzzing runs. Builds every libFuzzer target with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, then runs each target for the given number of seconds
# (default 600), two at a time, over its committed seeds (fuzz/corpus/<target>, read only) and a
# working corpus (build-fuzz/fuzz-work/<target>, kept between runs). Every allocation above 64 MiB,
# a resident size above 512 MiB, an input that runs longer than 10 s, a leak or a sanitizer report
# is a failure: its input is saved as build-fuzz/fuzz-artifacts/<target>-* and the script exits 1.
# Copy such an input into fuzz/corpus/<target>/ once the fault is fixed, so that ctest replays it.
#
# Usage: bash fuzz/run.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-600}
shift || true
JOBS=${FUZZ_JOBS:-2}
BUILD=build-fuzz

bash scripts/setup.sh "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DUPDATER_FUZZ=ON -DUPDATER_BUILD_TESTS=OFF >/dev/null

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzz.cc; do
    name=$(basename "$source" _fuzz.cc)
    [ -x "$BUILD/bin/fuzz_$name" ] && targets+=("$name")
  done
fi

mkdir -p "$BUILD/fuzz-work" "$BUILD/fuzz-artifacts" "$BUILD/fuzz-logs"
run_one() {
  local name=$1
  local extra=()
  [ -f "fuzz/$name.dict" ] && extra+=("-dict=fuzz/$name.dict")
  mkdir -p "$BUILD/fuzz-work/$name"
  "$BUILD/bin/fuzz_$name" -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=512 \
    -malloc_limit_mb=64 -timeout=10 -print_final_stats=1 -detect_leaks=1 \
    -artifact_prefix="$BUILD/fuzz-artifacts/$name-" "${extra[@]}" \
    "$BUILD/fuzz-work/$name" "fuzz/corpus/$name" >"$BUILD/fuzz-logs/$name.log" 2>&1
}

echo "fuzzing ${#targets[@]} targets for $SECONDS_PER_TARGET s each, $JOBS at a time"
status=0
pids=()
names=()
for name in "${targets[@]}"; do
  run_one "$name" &
  pids+=($!)
  names+=("$name")
  if [ ${#pids[@]} -ge "$JOBS" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done

printf '%-14s %12s %8s %8s %s\n' target executions cov ft verdict
for name in "${names[@]}"; do
  log="$BUILD/fuzz-logs/$name.log"
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' | tail -1 || true)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  cov=$(echo "$done_line" | grep -o 'cov: [0-9]*' | awk '{print $2}' || true)
  ft=$(echo "$done_line" | grep -o 'ft: [0-9]*' | awk '{print $2}' || true)
  verdict=clean
  if ! [ -n "$done_line" ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|check failed' "$log"; then
    verdict="FAULT (see $log)"
    status=1
  fi
  printf '%-14s %12s %8s %8s %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$verdict"
done
exit $status
