#!/usr/bin/env bash
# The release command: refuses a sample build or an executable that does not
# carry the release's payloads, signs when a certificate is given, proves the
# executable under Wine on the release's installations and writes it with its
# SHA-256. Usage and settings: tools/release/ship.sh --help, docs/release.md.
#
#   tools/release/ship.sh RELEASE EXE [OUT]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec /usr/bin/python3 "$here/ship.py" "$@"
