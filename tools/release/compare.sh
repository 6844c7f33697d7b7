#!/usr/bin/env bash
# Rebuilds the updater from a commit and a release folder, and says whether a
# shipped executable (signed or not) is byte for byte that build, or which
# parts of it differ. Usage: tools/release/compare.sh --help, docs/release.md.
#
#   tools/release/compare.sh SHIPPED_EXE RELEASE [COMMIT]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec /usr/bin/python3 "$here/compare.py" "$@"
