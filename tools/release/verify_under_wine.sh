#!/usr/bin/env bash
# Runs the built updater under Wine on every installed/N of a release folder
# and reports, per edition, whether the result is byte-identical to
# finished/N with the right attributes (every *.sig hidden, nothing else).
#
#   tools/release/verify_under_wine.sh [--edition N]... RELEASE_DIR [EXE...]
#
# --edition N verifies only installed/N (repeatable); a release to be shipped
# is proven on every edition, the default. EXE defaults to the updaters of
# build/windows and build/windows64; of those given, the one this machine runs under Wine is taken (the PE32 where 32-bit
# x86 programs run, else the PE32+), and the output says which. Exit status 0
# only when every edition verified passes. Details: docs/wine.md.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec "${WELLHAVEN_PYTHON:-python3}" "$here/verify_release.py" "$@"
