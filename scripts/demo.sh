#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and demonstrates a whole update: two versions of a small sample installation,
# an update archive made from their difference with make-update (which checks it with the real
# updater before it is shipped), then the updater applied to copies of
# version 1, in place and as a staged update followed by a replace request. Each run shows its exit
# code, status file and log, and is checked against version 2 (contents, links, permission bits).
# Last, the same update fails on a copy with a locally edited file and leaves it exactly as it was.
# The archive is signed (make-update --sign) and every copy trusts the publisher's public key in
# update-keys/; a tampered copy of the archive is refused before anything changes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build >/dev/null
bin=$PWD/build/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

show() {  # $1: status file, $2: log file
  printf '== update.status: '; od -An -c "$1" | tr -s ' '
  echo "== $2"; sed 's/^/   /' "$2"
}
# Kind, permission bits, path and link target of every entry (the updater's own log folder and the
# precomplete list that every update ships left out), so that two trees can be compared in one diff
# together with their contents.
listing() {
  (cd "$1" && find . \( -path ./updates -o -path ./precomplete \) -prune -o -printf '%M %p %l\n' |
    sort -k2)
}
check() {  # $1: the updated tree
  if diff -r --no-dereference -x updates -x precomplete v2 "$1" && diff <(listing v2) <(listing "$1"); then
    echo "== check: $1 equals version 2 (diff -r and permission bits)"
  else
    echo "== check FAILED: $1 differs from version 2"; exit 1
  fi
}

echo "### Version 1 of the sample installation"
mkdir -p v1/bin v1/lib v1/share/doc v1/share/old/deep
printf '#!/bin/sh\necho "sample app, version 1"\n' > v1/bin/app && chmod 755 v1/bin/app
seq 1 4000 > v1/lib/data.txt && chmod 640 v1/lib/data.txt
echo "documentation, the same in both versions" > v1/share/doc/readme.txt
echo "notes that version 2 drops" > v1/share/old/notes.txt
echo "deeper notes" > v1/share/old/deep/more.txt
echo "a file that goes away" > v1/obsolete.txt
ln -s bin/app v1/app-link   # the manifest cannot make links: this one stays as it is
listing v1 | sed 's/^/   /'

echo
echo "### Version 2: app and data changed, share/new.txt added, obsolete.txt and share/old gone"
cp -a v1 v2
printf '#!/bin/sh\necho "sample app, version 2"\n' > v2/bin/app
seq 1 4000 | sed 's/^2000$/two thousand/' > v2/lib/data.txt && echo "4001" >> v2/lib/data.txt
echo "new in version 2" > v2/share/new.txt && chmod 600 v2/share/new.txt
rm -r v2/obsolete.txt v2/share/old

echo
echo "### The publisher's signing key: the secret stays with the publisher, the installation ships"
echo "### the public key in update-keys/"
mkdir -p keys
"$bin/upk" keygen keys/publisher.pub keys/publisher.secret | sed 's/^/   /'
mkdir -p v1/update-keys v2/update-keys
cp keys/publisher.pub v1/update-keys/ && cp keys/publisher.pub v2/update-keys/
# Each release names its product and version in update-product, which the update carries along.
"$bin/make-update" --stamp v1 --product sample --version 1.0
"$bin/make-update" --stamp v2 --product sample --version 2.0
sed 's/^/   /' keys/publisher.pub

echo
echo "### The update archive, built by make-update from the two versions, signed and checked by it"
mkdir -p patch
"$bin/make-update" --no-progress --dry-run --rmrfdir --from v1 v2 patch/update.upk | sed 's/^/   /'
"$bin/make-update" --no-progress --check --rmrfdir --product sample --version 2.0 \
  --sign keys/publisher.secret --from v1 v2 patch/update.upk 2>&1 | sed 's/^/   /'
"$bin/upk" verify patch/update.upk keys/publisher.pub | sed 's/^/   /'
"$bin/upk" info patch/update.upk | sed 's/^/   /'
(mkdir -p manifest && cd manifest && "$bin/upk" extract ../patch/update.upk >/dev/null &&
  echo "== its manifest (bzip2-compressed inside the archive):" &&
  bzip2 -dc updatev3.manifest | sed 's/^/   /')

echo
# As the application would, each copy keeps the downloaded update in updates/0 of the installation.
install_copy() { cp -a v1 "$1" && mkdir -p "$1/updates/0" && cp patch/update.upk "$1/updates/0/"; }

echo "### In-place update: updater inst/updates/0 inst inst"
install_copy inst
set +e
"$bin/updater" "$work/inst/updates/0" "$work/inst" "$work/inst"
echo "== exit code: $?"
set -e
show inst/updates/0/update.status inst/updates/0/update.log
echo "== bin/app says: $(sh inst/bin/app)"
check inst

echo
echo "### Staged update: updater staged/updates/0 staged staged/updated -1"
install_copy staged
set +e
"$bin/updater" "$work/staged/updates/0" "$work/staged" "$work/staged/updated" -1
echo "== exit code: $?"
set -e
show staged/updates/0/update.status staged/updates/0/update.log
echo "== the installation still runs version 1: $(sh staged/bin/app)"

echo
echo "### Replace request: updater staged/updates/0 staged staged/updated 0/replace"
echo "(the staged copy holds updates/ without updates/0; the request's log goes to updates/update.log"
echo " there and moves with the copy)"
set +e
"$bin/updater" "$work/staged/updates/0" "$work/staged" "$work/staged/updated" 0/replace
echo "== exit code: $?"
set -e
show staged/updates/0/update.status staged/updates/update.log
echo "== bin/app says: $(sh staged/bin/app)"
check staged

echo
echo "### A failed update: the same archive on a copy whose lib/data.txt was edited locally"
install_copy edited
echo "local edit" >> edited/lib/data.txt
cp -a edited edited.before
set +e
"$bin/updater" "$work/edited/updates/0" "$work/edited" "$work/edited"
echo "== exit code: $?"
set -e
show edited/updates/0/update.status edited/updates/0/update.log
rm edited/updates/0/update.status edited/updates/0/update.log
if diff -r --no-dereference edited.before edited && diff <(listing edited.before) <(listing edited); then
  echo "== check: edited is exactly as it was before the update (no backup, no updating folder)"
else
  echo "== check FAILED: edited changed"; exit 1
fi

echo
echo "### A tampered archive: one byte of the signed update.upk changed, applied to a fresh copy"
install_copy tampered
size=$(stat -c %s tampered/updates/0/update.upk)
printf 'X' | dd of=tampered/updates/0/update.upk bs=1 seek=$((size / 2)) conv=notrunc status=none
cp -a tampered tampered.before
set +e
"$bin/updater" "$work/tampered/updates/0" "$work/tampered" "$work/tampered"
echo "== exit code: $?"
set -e
show tampered/updates/0/update.status tampered/updates/0/update.log
rm tampered/updates/0/update.status tampered/updates/0/update.log
if diff -r --no-dereference tampered.before tampered && diff <(listing tampered.before) <(listing tampered); then
  echo "== check: the tampered archive was refused and tampered is exactly as it was"
else
  echo "== check FAILED: tampered changed"; exit 1
fi
