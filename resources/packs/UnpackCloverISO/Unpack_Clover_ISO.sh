#!/bin/sh
# Turns a Clover ISO archive (".iso.7z") into a ZIP data set next to this script.
# Exit codes: 0 done, 1 usage, 2 archive not found, 3 7-Zip not found, 4 extraction failed.
# The 7-Zip console is 7zz on PATH, or the program named by FK_7ZZ.

case "$0" in
  */*) cd "${0%/*}" || exit 4 ;;
esac

if [ -z "$1" ]; then
  echo "Usage: ${0##*/} CloverISO-XXXX.tar.lzma.zip"
  exit 1
fi
if [ ! -f "$1" ]; then
  echo "Error: File \"$1\" not found"
  exit 2
fi

CloverPackName=${1##*/}
CloverPackName=${CloverPackName%.*}
echo "CloverPackName: $CloverPackName"
CloverPackName=${CloverPackName%????}
echo "CloverPackName: $CloverPackName"
UnpackDir=$CloverPackName
echo "UnpackDir: $UnpackDir"

SevenZip=${FK_7ZZ:-7zz}
if ! command -v "$SevenZip" >/dev/null 2>&1; then
  echo "Error: $SevenZip not found"
  exit 3
fi

fatal() {
  rm -rf "./$UnpackDir"
  exit 4
}

"$SevenZip" e "$1" -o"$UnpackDir" '-i!*.iso' -y
rc=$?
if [ $rc -ge 2 ]; then echo "Error Extract ISO file"; fatal; fi
if [ $rc -eq 1 ]; then echo "Extract ISO file Warning Found"; fi

set -- "./$UnpackDir"/*.iso
if [ ! -f "$1" ]; then echo "Error Unpack ISO file"; fatal; fi
"$SevenZip" x "$@" -o"$UnpackDir" -y
rc=$?
if [ $rc -ge 2 ]; then echo "Error Unpack ISO file"; fatal; fi
if [ $rc -eq 1 ]; then echo "Unpack ISO file Warning Found"; fi

find "./$UnpackDir" -type f -name '*.iso' -exec rm -f {} +
rm -rf "./$UnpackDir/[BOOT]"

found=0
for f in "./$UnpackDir"/usr/standalone/i386/x64/boot*; do
  if [ -f "$f" ]; then
    cp -f "$f" "./$UnpackDir/" && found=1
  fi
done
if [ $found -eq 0 ]; then echo "Warning: /usr/standalone/i386/x64/boot* files not found"; fi
if [ -f "./$UnpackDir/usr/standalone/i386/x64/boot6" ]; then
  cp -f "./$UnpackDir/usr/standalone/i386/x64/boot6" "./$UnpackDir/boot"
else
  echo "Warning: /usr/standalone/i386/x64/boot6 file not found"
fi

rm -f "./$UnpackDir.zip"
(cd "./$UnpackDir" && "$SevenZip" a -r -mx9 -tzip "../$UnpackDir.zip" '*')
rc=$?
if [ $rc -ge 2 ]; then echo "Error Pack ZIP file"; rm -f "./$UnpackDir.zip"; fatal; fi
rm -rf "./$UnpackDir"
exit 0
