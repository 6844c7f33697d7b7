#!/usr/bin/env bash
# Builds both builds and runs every test: the native suite (under ASan and
# UBSan), the checks of the built executable, and the Wine end-to-end tests.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh test
# The suite is written for the sample release: its installations and
# finished folders are what the built updater is compared with.
env -u WELLHAVEN_RELEASE_DIR ./build.sh
# The 64-bit build, for the Wine tests where 32-bit x86 programs do not run.
cmake --preset windows64 -DWELLHAVEN_RELEASE_DIR=
cmake --build --preset windows64
cmake --preset host
cmake --build --preset host -j "$(nproc)"
ctest --preset host -j "$(nproc)" "$@"
