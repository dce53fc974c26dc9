#!/bin/sh
# Installs into a staging root and runs the installed flashkeel-cli as root on
# behalf of a test user (sudo's SUDO_UID/SUDO_GID/SUDO_USER): its settings and
# log are in the user's config folder, its files belong to the user, and
# nothing is written beside the program.
# Usage: install_test.sh BUILD_DIR
set -eu
BUILD=$1
PATH=$PATH:/usr/sbin:/sbin
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (useradd, chown)"; exit 77; }
command -v useradd >/dev/null 2>&1 || { echo "SKIP: no useradd"; exit 77; }

T=$(mktemp -d "${TMPDIR:-/tmp}/fk-install-XXXXXX")
U="fkinst$$"
cleanup() { userdel "$U" >/dev/null 2>&1 || true; rm -rf "$T"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR="$T/stage" cmake --install "$BUILD" --prefix /usr >"$T/install.log" 2>&1 || { cat "$T/install.log"; exit 1; }
BIN="$T/stage/usr/bin"
[ -x "$BIN/flashkeel-cli" ] || fail "flashkeel-cli is not installed"
for f in share/man/man1/flashkeel.1 share/man/man1/flashkeel-cli.1 share/bash-completion/completions/flashkeel-cli \
         share/applications/flashkeel.desktop share/polkit-1/actions/org.flashkeel.flashkeel.policy; do
  [ -f "$T/stage/usr/$f" ] || fail "$f is not installed"
done
grep -q '>/usr/bin/flashkeel<' "$T/stage/usr/share/polkit-1/actions/org.flashkeel.flashkeel.policy" ||
  fail "the polkit action does not name /usr/bin/flashkeel"
bash -n "$T/stage/usr/share/bash-completion/completions/flashkeel-cli" || fail "completion script"
before=$(ls -A "$BIN" | sort | tr '\n' ' ')

HOMEDIR="$T/home/$U"
mkdir -p "$T/home"
useradd -M -d "$HOMEDIR" -s /usr/sbin/nologin -U "$U"
mkdir "$HOMEDIR"
chown "$U:$U" "$HOMEDIR"
UIDN=$(id -u "$U")
GIDN=$(id -g "$U")

# A disk image with one partition for the backup to read.
IMG="$T/disk.img"
truncate -s 8M "$IMG"
# MBR entry 1: type 0x0C, first LBA 2048, 4096 sectors; then the 55 AA signature.
printf '\000\000\000\000\014\000\000\000\000\010\000\000\000\020\000\000' |
  dd of="$IMG" bs=1 seek=446 conv=notrunc status=none
printf '\125\252' | dd of="$IMG" bs=1 seek=510 conv=notrunc status=none
printf 'partition data' | dd of="$IMG" bs=512 seek=2048 conv=notrunc status=none

run() {
  env -i PATH="$PATH" HOME=/root SUDO_UID="$UIDN" SUDO_GID="$GIDN" SUDO_USER="$U" "$BIN/flashkeel-cli" "$@" \
    </dev/null 2>&1
}
out=$(run hfs status) || fail "hfs status: $out"
CONF="$HOMEDIR/.config/flashkeel"
echo "$out" | grep -qF "(service keys kept in $CONF/registry.ini)" || fail "registry not in the user's folder: $out"
[ -d "$CONF" ] || fail "no $CONF"
[ "$(stat -c %U "$HOMEDIR/.config")" = "$U" ] || fail ".config does not belong to $U"
[ "$(stat -c %U "$CONF")" = "$U" ] || fail "$CONF does not belong to $U"
[ "$(stat -c %U "$HOMEDIR/.local/share/flashkeel")" = "$U" ] || fail "the data folder does not belong to $U"

# The settings are read from there: logging switched on there brings the log there.
printf '\357\273\277\r\n[Data Settings]\r\nLogEnable = 1\r\n' >"$CONF/flashkeel.ini"
chown "$U:$U" "$CONF/flashkeel.ini"
out=$(run backup --image "$IMG" --partition 1 --to "$HOMEDIR/part.bin" --yes) || fail "backup: $out"
[ -f "$CONF/FKLDebug.log" ] || fail "no log in $CONF: $out"
[ "$(stat -c %U "$CONF/FKLDebug.log")" = "$U" ] || fail "the log does not belong to $U"
[ -f "$HOMEDIR/part.bin" ] || fail "no backup: $out"
[ "$(stat -c %U "$HOMEDIR/part.bin")" = "$U" ] || fail "the backup does not belong to $U"
head -c 14 "$HOMEDIR/part.bin" | grep -q 'partition data' || fail "the backup holds other bytes"

after=$(ls -A "$BIN" | sort | tr '\n' ' ')
[ "$before" = "$after" ] || fail "files appeared beside the program: $after"
echo "install for another user: OK"
