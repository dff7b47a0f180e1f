#!/usr/bin/env bash
# Builds everything and demonstrates a whole update: two versions of a small sample installation,
# an update archive made from their difference with our own tools (kbdiff for the changed file's
# patch, bzip2 for the members, upk for the container), then the updater applied to copies of
# version 1, in place and as a staged update followed by a replace request. Each run shows its exit
# code, status file and log, and is checked against version 2 (contents, links, permission bits).
# Last, the same update fails on a copy with a locally edited file and leaves it exactly as it was.
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
# Kind, permission bits, path and link target of every entry (the updater's own log folder left
# out), so that two trees can be compared in one diff together with their contents.
listing() { (cd "$1" && find . -path ./updates -prune -o -printf '%M %p %l\n' | sort -k2); }
check() {  # $1: the updated tree
  if diff -r --no-dereference -x updates v2 "$1" && diff <(listing v2) <(listing "$1"); then
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
echo "### The update archive"
mkdir -p stage/patches/lib patch
"$bin/kbdiff" v1/lib/data.txt v2/lib/data.txt data.patch
echo "kbdiff: lib/data.txt $(stat -c %s v2/lib/data.txt) bytes -> patch of $(stat -c %s data.patch) bytes before compression"
cat > updatev3.manifest <<MANIFEST
# sample update from version 1 to version 2
type "partial"
remove "obsolete.txt"
rmrfdir "share/old/"
add "bin/app"
add "share/new.txt"
patch "patches/lib/data.txt.patch" "lib/data.txt"
MANIFEST
sed 's/^/   /' updatev3.manifest
pack() {  # $1: source file, $2: member name; one bzip2 stream with the file's permission bits
  mkdir -p "stage/$(dirname "$2")"
  bzip2 -c "$1" > "stage/$2"
  chmod --reference="$1" "stage/$2"
}
pack updatev3.manifest updatev3.manifest
pack v2/bin/app bin/app
pack v2/share/new.txt share/new.txt
pack data.patch patches/lib/data.txt.patch
members=(updatev3.manifest bin/app share/new.txt patches/lib/data.txt.patch)
(cd stage && "$bin/upk" create --product sample --version 2.0 ../patch/update.upk "${members[@]}")
"$bin/upk" list patch/update.upk | sed 's/^/   /'

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
