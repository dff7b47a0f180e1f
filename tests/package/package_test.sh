#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Install and package: `cmake --install` into a temporary prefix (programs, manual pages that
# render without warnings, README), --version of every tool, then the Debian package built by
# cpack, unpacked with dpkg-deb: each program answers --help, the client library (shared and
# static, header, pkg-config file) builds a C program that runs, the library's shlibs file and
# ldconfig trigger are there, the declared dependencies are the ones dpkg-shlibdeps found, the
# licence is the copyright file, and lintian (when installed) reports neither errors nor warnings.
#   Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
tools=(upk kbdiff kbpatch make-update make-release update-client)
libdir=lib/$(gcc -print-multiarch)  # the client library's folder below the prefix

# A C application of the client library below `root` (as installed, or unpacked from the
# package), built with its pkg-config file, linked with the shared library or the static one,
# and run on an empty installation, whose state is "idle".
client_app() {
  local root=$1 pc=$1/$libdir/pkgconfig flags
  [ -f "$pc/update-client.pc" ] || fail "$pc/update-client.pc missing"
  printf '%s\n' '#include <stdio.h>' '#include <update_client.h>' \
    'int main(int argc, char **argv) {' '  uc_client *c = uc_open(argv[1]);' \
    '  if (!c) return 1;' '  printf("%s\n", uc_state(c));' '  uc_close(c);' '  return 0;' '}' \
    >"$tmp/app.c"
  mkdir -p "$tmp/empty"
  # A library built with a sanitizer needs its runtime in the application too.
  sanitize=
  grep -q '^UPDATER_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" && sanitize="-fsanitize=address,undefined"
  for how in shared static; do
    flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs update-client)
    [ $how = shared ] || flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs --static \
      update-client | sed 's/-lupdate-client/-l:libupdate-client.a/')
    # shellcheck disable=SC2086
    gcc -o "$tmp/app" "$tmp/app.c" $flags $sanitize >"$tmp/cc.log" 2>&1 ||
      { head -5 "$tmp/cc.log"; fail "$root: an application does not link the $how library"; }
    [ "$(LD_LIBRARY_PATH=$root/$libdir "$tmp/app" "$tmp/empty")" = idle ] ||
      fail "$root: the application on the $how library does not run"
  done
}

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for p in updater "${tools[@]}"; do
  [ -x "$tmp/prefix/bin/$p" ] || fail "bin/$p not installed"
  page=$tmp/prefix/share/man/man1/$p.1.gz
  [ -f "$page" ] || fail "man page $p.1.gz not installed"
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || fail "$p.1 does not render"
  [ -z "$warnings" ] || fail "$p.1: $warnings"
  zcat "$page" | grep -q "updater $version" || fail "$p.1 does not carry the version $version"
done
[ -f "$tmp/prefix/share/doc/updater/README.md" ] || fail "README not installed"
client_app "$tmp/prefix"
# Every relative link of the installed README leads to an installed file.
for link in $(grep -o '](\([^)#]*\))' "$tmp/prefix/share/doc/updater/README.md" | sed 's/^](//; s/)$//'); do
  [[ "$link" == *://* ]] || [ -f "$tmp/prefix/share/doc/updater/$link" ] ||
    fail "the installed README links to $link, which is not installed"
done
for t in "${tools[@]}"; do
  out=$("$tmp/prefix/bin/$t" --version)
  [ "$out" = "$t $version" ] || fail "$t --version printed '$out'"
done
echo "install: 7 programs, 7 man pages without warnings, README, client library; --version $version"

cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/pkg/*.deb)
[ "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: updater Version: $version-1 " ] ||
  fail "package name or version: $(dpkg-deb -f "$deb" Package Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libbz2-1.0 libstdc++6 libgtk2.0-0 libdivsufsort3 libsodium23 libcurl4; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
dpkg-deb -x "$deb" "$tmp/root"
for t in "${tools[@]}"; do
  help=$("$tmp/root/usr/bin/$t" --help) || fail "packaged $t --help failed"
  [[ "$help" == *"$t"* ]] || fail "packaged $t --help: $help"
done
# The updater's --help alone prints its usage on standard output and exits 0; any other short
# command line gets the usage line on standard error and exit status 1.
usage=$("$tmp/root/usr/bin/updater" --help) || fail "packaged updater --help failed"
[[ "$usage" == "Usage: updater patch-dir"* ]] || fail "packaged updater --help: $usage"
set +e
usage=$("$tmp/root/usr/bin/updater" --help --version 2>&1 >/dev/null)
rc=$?
set -e
[ $rc -eq 1 ] && [[ "$usage" == "Usage: updater patch-dir"* ]] || fail "packaged updater: $rc $usage"
for p in updater "${tools[@]}"; do
  [ -f "$tmp/root/usr/share/man/man1/$p.1.gz" ] || fail "man page $p.1.gz not packaged"
done
client_app "$tmp/root/usr"
for f in libupdate-client.so.1 libupdate-client.so.1.0.0; do
  [ -e "$tmp/root/usr/$libdir/$f" ] || fail "$libdir/$f not packaged"
done
[ "$(dpkg-deb -I "$deb" shlibs)" = "libupdate-client 1 updater (>= $version-1)" ] ||
  fail "shlibs: $(dpkg-deb -I "$deb" shlibs)"
[ "$(dpkg-deb -I "$deb" triggers)" = "activate-noawait ldconfig" ] || fail "no ldconfig trigger"
doc=$tmp/root/usr/share/doc/updater
head -1 "$doc/copyright" | grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright" ||
  fail "copyright file missing or not machine-readable"
grep -q "^ Permission is hereby granted" "$doc/copyright" || fail "copyright lacks the licence"
zcat "$doc/changelog.Debian.gz" | head -1 | grep -q "^updater ($version-1)" || fail "changelog"
if command -v lintian >/dev/null; then
  findings=$(lintian "$deb" 2>/dev/null) || fail "lintian: $findings"
  [ -z "$findings" ] || fail "lintian: $findings"
  echo "lintian: clean"
else
  echo "lintian: not installed, not run"
fi
echo "package: $(basename "$deb"), Depends: $depends"
