#!/usr/bin/env bash
# Runs the built updater under Wine on every installed/N of a release folder
# and reports, per edition, whether the result is byte-identical to
# finished/N with the right attributes (every *.sig hidden, nothing else).
#
#   tools/release/verify_under_wine.sh RELEASE_DIR [EXE]
#
# EXE defaults to build/windows/WellhavenUpdate103.exe. Exit status 0 only
# when every edition passes. Details: docs/wine.md.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec /usr/bin/python3 "$here/../../tests/wine/verify_release.py" "$@"
