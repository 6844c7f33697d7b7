#!/usr/bin/env bash
# Builds the updater: build/windows/WellhavenUpdate103.exe.
# The payloads come from WELLHAVEN_RELEASE_DIR when it is set (a release
# folder, see README.md), otherwise from the generated sample release.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh build
args=()
if [ -n "${WELLHAVEN_RELEASE_DIR:-}" ]; then
  args+=("-DWELLHAVEN_RELEASE_DIR=$(realpath "$WELLHAVEN_RELEASE_DIR")")
fi
cmake --preset windows "${args[@]}"
cmake --build --preset windows
echo "Built: build/windows/WellhavenUpdate103.exe"
