#!/usr/bin/env bash
# Builds everything and runs every test: the native suite (under ASan and
# UBSan), the mutation check, the checks of the built executable, and the
# Wine end-to-end tests. The host preset's tests build the Windows
# executables they need themselves (tests build.windows and build.windows64),
# so this is the host workflow after the packages it needs.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh test
cmake --preset host
cmake --build --preset host -j "$(nproc)"
# Which Windows build the Wine tests run here, found by trying (docs/wine.md);
# where none runs, the line says why and the Wine tests fail with it.
/usr/bin/python3 tools/wine/winebox.py line || true
ctest --preset host -j "$(nproc)" "$@"
