#!/usr/bin/env bash
# The updater's main job in one command: a sample ver1.00 installation is
# updated under Wine, the Yes answered by the box robot.
#
#   tests/wine/demo.sh [OUTDIR]      (default: build/demo)
#
# Leaves OUTDIR/Wellhaven (the updated folder), OUTDIR/screenshots/*.png (every
# box the player saw) and OUTDIR/boxes.txt. Runs the build this machine runs
# under Wine (build/windows, or build/windows64 where 32-bit x86 programs do
# not run; WELLHAVEN_WINE forces one) and builds it first if it is not there.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
python="${WELLHAVEN_PYTHON:-python3}"
out="$(realpath -m "${1:-$repo/build/demo}")"
cd "$repo"
. ./updater.env
preset="$("$python" tools/wine/winebox.py preset)"
exe="$repo/build/$preset/$WELLHAVEN_UPDATER_NAME.exe"
if [ "$preset" = windows ]; then
  exe="$(realpath -m "${WELLHAVEN_UPDATER_EXE:-$exe}")"
  [ -e "$exe" ] || ./build.sh
else
  exe="$(realpath -m "${WELLHAVEN_UPDATER_EXE64:-$exe}")"
  if [ ! -e "$exe" ]; then
    cmake --preset windows64 -DWELLHAVEN_RELEASE_DIR= && cmake --build --preset windows64
  fi
fi
exec "$python" tests/wine/demo.py "$out" "$exe"
