#!/bin/sh
# Every option the CLI's help names is in flashkeel-cli(1); both pages render.
# Usage: man_test.sh CLI MAN_DIR
set -eu
CLI=$1
MAN=$2
command -v man >/dev/null 2>&1 || { echo "SKIP: man is not installed"; exit 77; }
for page in flashkeel.1 flashkeel-cli.1; do
  out=$(MANWIDTH=100 man -l "$MAN/$page" 2>&1) || { echo "man -l $page failed: $out"; exit 1; }
  echo "$out" | grep -q "^NAME" || { echo "$page renders without NAME: $out"; exit 1; }
  echo "$out" | grep -qi "warning" && { echo "$page renders with warnings: $out"; exit 1; }
done
text=$(MANWIDTH=200 man -l "$MAN/flashkeel-cli.1" 2>/dev/null | col -b)
missing=""
for cmd in "" list format eject backup restore hfs; do
  # shellcheck disable=SC2086
  for word in $("$CLI" $cmd --help | grep -o -- '--[a-z][a-z-]*\|^  [a-z]\{3,\}  ' | tr -d ' ' | sort -u); do
    echo "$text" | grep -q -- "$word" || missing="$missing $word"
  done
done
[ -z "$missing" ] || { echo "missing in flashkeel-cli(1):$missing"; exit 1; }
echo "man pages: OK"
