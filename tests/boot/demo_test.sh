#!/bin/sh
# Runs scripts/demo against an existing build tree and checks what it prints:
# the disk list line of the image, its partitions, and the line the demo boot
# program prints under QEMU. As root it runs the demo as an unprivileged user,
# since the demo must work without root.
# Usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -eu
SRC=$1
BUILD=$2
OUT=$(mktemp -d "${TMPDIR:-/tmp}/fkdemo.XXXXXX")
trap 'rm -rf "$OUT"' EXIT INT TERM

AS_USER=""
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1; then
  chown 65534:65534 "$OUT"
  AS_USER="setpriv --reuid=65534 --regid=65534 --clear-groups"
  # A build tree inside a folder that only root may enter cannot be run by
  # another user: then the demo runs as root.
  if ! $AS_USER test -x "$BUILD/cli/flashkeel-cli" || ! $AS_USER test -r "$SRC/scripts/demo"; then
    echo "demo_test: the build tree is not reachable by an unprivileged user; running as root"
    AS_USER=""
  fi
fi

set +e
$AS_USER env FLASHKEEL_DEMO_BUILD="$BUILD" FLASHKEEL_DEMO_OUT="$OUT" HOME="$OUT" TMPDIR="$OUT" \
  sh "$SRC/scripts/demo" >"$OUT/demo.out" 2>&1
rc=$?
set -e
cat "$OUT/demo.out"
fail() { echo "demo_test: $1"; exit 1; }
[ "$rc" -eq 0 ] || fail "scripts/demo exited with $rc"
[ "$(id -u)" -eq 0 ] && [ -n "$AS_USER" ] && [ "$(stat -c %u "$OUT/flashkeel-demo.img")" != 65534 ] &&
  fail "the image was not written by the unprivileged user"
grep -q '^\[[0-9]*\] FileBackedVirtual: flashkeel-demo.img 256 MB' "$OUT/demo.out" || fail "no disk list line"
grep -q 'FLASHKEEL' "$OUT/demo.out" || fail "no partition line with the label"
if command -v qemu-system-x86_64 >/dev/null 2>&1; then
  grep -q "Flashkeel demo: the boot chain reached 'boot'" "$OUT/demo.out" || fail "the boot line is missing"
  grep -q '== Boot OK' "$OUT/demo.out" || fail "no boot confirmation"
fi
echo "demo_test: OK"
