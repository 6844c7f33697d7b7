#!/usr/bin/env bash
# The updater's main job in one command: a sample ver1.00 installation is
# updated under Wine, the Yes answered by the box robot.
#
#   tests/wine/demo.sh [OUTDIR]      (default: build/demo)
#
# Leaves OUTDIR/Wellhaven (the updated folder), OUTDIR/screenshots/*.png (every
# box the player saw) and OUTDIR/boxes.txt. Builds the updater first if
# build/windows/WellhavenUpdate103.exe does not exist yet.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
out="$(realpath -m "${1:-$repo/build/demo}")"
exe="$(realpath -m "${WELLHAVEN_UPDATER_EXE:-$repo/build/windows/WellhavenUpdate103.exe}")"
cd "$repo"
if [ ! -e "$exe" ]; then
  ./build.sh
fi
exec /usr/bin/python3 tests/wine/demo.py "$exe" "$out"
