#!/usr/bin/env bash
# Builds the updater: build/windows/<the name in updater.env>.exe.
# The payloads come from WELLHAVEN_RELEASE_DIR when it is set (a release
# folder, see docs/release.md), otherwise from the generated sample release.
set -euo pipefail
cd "$(dirname "$0")"
. ./updater.env
scripts/deps.sh build
# Always passed, so that unsetting it goes back to the sample release.
release_dir=""
if [ -n "${WELLHAVEN_RELEASE_DIR:-}" ]; then
  release_dir=$(realpath "$WELLHAVEN_RELEASE_DIR")
fi
# The release build: no test robot (BUILD_TESTING=OFF).
cmake --preset windows "-DWELLHAVEN_RELEASE_DIR=$release_dir" -DBUILD_TESTING=OFF
cmake --build --preset windows
if [ -n "$release_dir" ]; then
  echo "Built: build/windows/$WELLHAVEN_UPDATER_NAME.exe, carrying the payloads of the release folder $release_dir"
else
  echo "Built: build/windows/$WELLHAVEN_UPDATER_NAME.exe, carrying the SAMPLE release (made-up data, not for players)"
fi
