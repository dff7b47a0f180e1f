#!/usr/bin/env bash
# Builds everything and runs the demonstration: the updater on a sample installation, showing the
# status file and the log it leaves.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/patch"
echo "== updater $work/patch $work/app $work/app"
set +e
./build/bin/updater "$work/patch" "$work/app" "$work/app"
echo "exit code: $?"
set -e
echo "== update.status"; cat "$work/patch/update.status"; echo
echo "== update.log"; cat "$work/patch/update.log"
