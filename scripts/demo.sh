#!/usr/bin/env bash
# Builds everything and demonstrates the updater's driver on a sample installation: a replace request
# that swaps a staged copy into place, then an in-place run that fails because no update archive is
# there. Shows the exit code, the status file and the log of each run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build >/dev/null
updater=$PWD/build/bin/updater
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

show() {  # $1: status file, $2: log file
  printf '== update.status: '; od -An -c "$1" | tr -s ' '
  echo "== $2"; sed 's/^/   /' "$2"
}

echo "### Sample installation with a staged copy in app/updated"
mkdir -p "$work/app/updated/updates" "$work/patch"
echo "version 1" > "$work/app/version.txt"
echo "version 2" > "$work/app/updated/version.txt"
(cd "$work" && find app -print | sort | sed 's/^/   /')

echo
echo "### Replace request: updater patch app app/updated 0/replace"
set +e
"$updater" "$work/patch" "$work/app" "$work/app/updated" 0/replace
echo "== exit code: $?"
set -e
show "$work/patch/update.status" "$work/app/updates/update.log"
echo "== app/version.txt now: $(cat "$work/app/version.txt")"

echo
echo "### In-place run without update.upk: updater patch app app"
set +e
"$updater" "$work/patch" "$work/app" "$work/app"
echo "== exit code: $?"
set -e
show "$work/patch/update.status" "$work/patch/update.log"
