#!/bin/sh
# scripts/package builds a Debian package from this build tree with the
# runtime dependencies and every installed file.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -eu
SRC=$1
BUILD=$2
command -v dpkg-deb >/dev/null 2>&1 || { echo "SKIP: no dpkg-deb"; exit 77; }
T=$(mktemp -d "${TMPDIR:-/tmp}/fk-package-XXXXXX")
trap 'rm -rf "$T"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$SRC/scripts/package" "$BUILD" "$T" >"$T/package.log" 2>&1 || { cat "$T/package.log"; fail "scripts/package"; }
DEB=$(ls "$T"/flashkeel_*.deb)
info=$(dpkg-deb --info "$DEB")
depends=$(echo "$info" | sed -n 's/^ Depends: //p')
for p in libarchive13 libcurl4 libblkid1 libqt6widgets6 dosfstools exfatprogs ntfs-3g udftools mtools 7zip kmod; do
  echo "$depends" | grep -qw -- "$p" || fail "Depends lacks $p: $depends"
done
contents=$(dpkg-deb -c "$DEB")
for f in ./usr/bin/flashkeel-cli ./usr/share/man/man1/flashkeel-cli.1 ./usr/share/man/man1/flashkeel.1 \
         ./usr/share/bash-completion/completions/flashkeel-cli ./usr/share/polkit-1/actions/org.flashkeel.flashkeel.policy; do
  echo "$contents" | grep -q " $f\$" || fail "$f is not in the package"
done
if grep -q '^FLASHKEEL_BUILD_GUI:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  for f in ./usr/bin/flashkeel ./usr/share/applications/flashkeel.desktop; do
    echo "$contents" | grep -q " $f\$" || fail "$f is not in the package"
  done
fi
echo "package $(basename "$DEB"): OK"
