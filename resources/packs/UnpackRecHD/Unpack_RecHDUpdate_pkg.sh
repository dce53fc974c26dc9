#!/bin/sh
# Extracts the HFS+ image of a Recovery HD update package into an output directory.
# Arguments: the package, the output directory ("." when absent).
# Exit codes: 0 done, 1 usage, 2 package not found, 3 output directory not found,
# 4 extraction failed. The 7-Zip console is 7zz on PATH, or the program named by FK_7ZZ.

if [ -z "$1" ]; then
  echo "Usage: ${0##*/} RecoveryHDUpdate.pkg"
  exit 1
fi
OutputPath=${2:-.}
if [ ! -f "$1" ]; then
  echo "Archive: \"$1\" not found"
  exit 2
fi
if [ ! -d "$OutputPath" ]; then
  echo "Output Directory: \"$OutputPath\" not found"
  exit 3
fi

SevenZip=${FK_7ZZ:-7zz}

fatal() {
  rm -f RecoveryHDMeta.dmg BaseSystem.dmg
  exit 4
}

"$SevenZip" e -w -r -txar -y -- "$1" RecoveryHDMeta.dmg
rc=$?
if [ $rc -ge 2 ]; then echo "Error Extract RecoveryHDMeta.dmg"; fatal; fi
if [ $rc -eq 1 ]; then echo "Warning Found"; fi

"$SevenZip" e -w -r -y -- RecoveryHDMeta.dmg BaseSystem.dmg
rc=$?
if [ $rc -ge 2 ]; then echo "Error Extract BaseSystem.dmg"; fatal; fi
if [ $rc -eq 1 ]; then echo "Warning Found"; fi
rm -f RecoveryHDMeta.dmg

"$SevenZip" e -w -tdmg -o"$OutputPath" -y -- BaseSystem.dmg '*.hfs'
rc=$?
if [ $rc -ge 2 ]; then echo "Error Extract HFS-Image file"; fatal; fi
if [ $rc -eq 1 ]; then echo "Warning Found"; fi
rm -f BaseSystem.dmg
exit 0
