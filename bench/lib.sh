# SPDX-License-Identifier: MIT
# Shared by the benchmark scripts under bench/ (sourced, not run): installs the peer tools, builds
# the Release tree, fetches real releases into a cache outside the repository, and times commands.
# Expects to be sourced from the repository's root with `set -euo pipefail` in force.

BENCH_CACHE=${UPDATER_BENCH_CACHE:-$HOME/.cache/updater-bench}
BENCH_BIN=$PWD/build-release/bin

# bench_install PACKAGE...: installs the Debian packages that are missing.
bench_install() {
  local need=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
  fi
}

# bench_build: the optimised build in build-release (tests left out).
bench_build() {
  bash scripts/setup.sh build-release -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF >/dev/null
}

# bench_fetch PACKAGE VERSION [FILE]: prints the unpacked package folder (or FILE inside it),
# fetching it with `npm pack` into the cache the first time. Fails when the registry is unreachable.
bench_fetch() {
  local dir="$BENCH_CACHE/${1//\//_}-$2"
  if [ ! -d "$dir/package" ]; then
    command -v npm >/dev/null || return 1
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && timeout 300 npm pack --silent "$1@$2" >/dev/null 2>&1 && tar -xzf ./*.tgz) ||
      { rm -rf "$dir"; return 1; }
  fi
  echo "$dir/package${3:+/$3}"
}

# scale_tree DIR N: N small text files (200-2000 bytes), 100 to a folder.
scale_tree() {
  [ -f "$1.done" ] && return
  rm -rf "$1"
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
rng = random.Random(n)
for i in range(n):
    d = os.path.join(root, 'd%04d' % (i // 100))
    if i % 100 == 0: os.makedirs(d)
    open(os.path.join(d, 'f%02d.txt' % (i % 100)), 'w').write(
        ''.join('line %d of file %d: %s\n' % (k, i, 'x' * rng.randint(5, 60)) for k in range(rng.randint(6, 40))))
PY
  touch "$1.done"
}

# exe_like FILE SIZE: a deterministic file of SIZE bytes shaped like an executable (code built of
# recurring instruction idioms with fresh operands, string tables, address tables, padding); bzip2
# -9 takes it to about 0.38 of its size, as it does real executables.
exe_like() {
  [ -f "$1.done" ] && return
  mkdir -p "$(dirname "$1")"
  python3 - "$1" "$2" <<'PY'
import random, sys
out, size = sys.argv[1], int(sys.argv[2])
rng = random.Random(64)
# Byte tables shaped like code: opcodes, registers and small immediates dominate.
common = bytes(rng.choice(b'\x00\x48\x89\x8b\xe8\x0f\x85\x84\xc3\x41\x24\x01\xff\x74\x75\x83') for _ in range(256))
code = bytes(common[i] if i % 8 else i for i in range(256))
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz_') for _ in range(rng.randint(3, 14))) for _ in range(3000)]
# Instruction sequences that recur, as compiled functions share prologues and idioms.
idioms = [rng.randbytes(rng.randint(3, 24)).translate(code) for _ in range(4000)]
parts, n = [], 0
while n < size:
    kind = rng.random()
    if kind < 0.6:    # machine code: idioms with fresh operands between them
        piece = b''.join(rng.choice(idioms) + rng.randbytes(rng.randint(2, 7)).translate(code)
                         for _ in range(rng.randint(200, 4000)))
    elif kind < 0.8:  # string tables
        piece = b'\x00'.join(rng.choice(words) for _ in range(rng.randint(200, 3000)))
    elif kind < 0.93:  # relocation and symbol tables: little-endian words with small steps
        base = rng.getrandbits(24)
        piece = b''.join((base + 8 * k + rng.getrandbits(4)).to_bytes(8, 'little') for k in range(rng.randint(256, 4096)))
    else:              # padding
        piece = bytes(rng.randint(512, 16384))
    parts.append(piece)
    n += len(piece)
open(out, 'wb').write(b''.join(parts)[:size])
PY
  touch "$1.done"
}

# bench_machine: one line naming the CPU, the core count and the date.
bench_machine() {
  echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(date -u +%Y-%m-%d)"
}

# bench_measure FILE CMD...: runs CMD once (output discarded) and appends "seconds kilobytes
# cpu-seconds" to FILE: wall time in nanosecond steps, the peak resident size of CMD or its largest
# child, and the processor time (user + system) of CMD and its children.
# Fails when CMD fails, so a broken run is never counted as a fast one.
bench_measure() {
  local out=$1 start end
  shift
  start=$(date +%s%N)
  /usr/bin/time -f "%M %U %S" -o "$out.kb" "$@" >/dev/null
  end=$(date +%s%N)
  echo "$(awk "BEGIN {printf \"%.4f\", ($end - $start) / 1e9}") $(awk '{print $1, $2 + $3}' "$out.kb")" >>"$out"
}

# bench_median COLUMN < FILE: the median of a column of numbers.
bench_median() {
  awk -v c="$1" '{print $c}' | sort -g |
    awk '{a[NR] = $1} END {print NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'
}
# bench_range COLUMN < FILE: "min-max" of a column of numbers.
bench_range() { awk -v c="$1" '{print $c}' | sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {print lo "-" hi}'; }
# bench_ratio A B: A / B with two decimals.
bench_ratio() { awk "BEGIN {printf \"%.2f\", $1 / $2}"; }
# bench_round_ratio FILE_A COLUMN_A FILE_B [DIVISOR]: the median over the rounds of (A / DIVISOR) / B,
# line N of each file being round N, with two decimals; B is the wall-clock column. Where the
# machine's speed drifts during a run, this pairs each measurement with the peer's of its own round.
bench_round_ratio() {
  paste -d' ' "$1" "$3" | awk -v c="$2" -v d="${4:-1}" '{print ($c / d) / $4}' | bench_median 1 |
    awk '{printf "%.2f", $1}'
}
