#!/usr/bin/env bash
# Builds the updater: build/windows/WellhavenUpdate103.exe.
# The payloads come from WELLHAVEN_RELEASE_DIR when it is set (a release
# folder, see docs/release.md), otherwise from the generated sample release.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh build
# Always passed, so that unsetting it goes back to the sample release.
release_dir=""
if [ -n "${WELLHAVEN_RELEASE_DIR:-}" ]; then
  release_dir=$(realpath "$WELLHAVEN_RELEASE_DIR")
fi
cmake --preset windows "-DWELLHAVEN_RELEASE_DIR=$release_dir"
cmake --build --preset windows
if [ -n "$release_dir" ]; then
  echo "Built: build/windows/WellhavenUpdate103.exe, carrying the payloads of the release folder $release_dir"
else
  echo "Built: build/windows/WellhavenUpdate103.exe, carrying the SAMPLE release (made-up data, not for players)"
fi
