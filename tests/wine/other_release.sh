#!/usr/bin/env bash
# A release that was never in the repository, end to end: its payloads pass
# the release check, the updater built from them (WELLHAVEN_RELEASE_DIR)
# brings every installed edition of that release to its finished folder under
# Wine, and the updater built from the sample release does not.
#
#   tests/wine/other_release.sh WORKDIR SAMPLE_BUILT_EXE
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(realpath -m "$1")"
sample_exe="$2"

rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 "$repo/tools/release/make_sample_release.py" --seed "a release of its own" "$work/release"

cmake --preset windows -S "$repo" -B "$work/build" "-DWELLHAVEN_RELEASE_DIR=$work/release" > "$work/configure.log"
cmake --build "$work/build" -j2 > "$work/build.log"
exe="$work/build/WellhavenUpdate103.exe"

echo "== the updater built from that release"
"$repo/tools/release/verify_under_wine.sh" "$work/release" "$exe"

echo "== the updater built from the sample release, which must not pass"
if "$repo/tools/release/verify_under_wine.sh" "$work/release" "$sample_exe" > "$work/sample-exe.log" 2>&1; then
  cat "$work/sample-exe.log"
  echo "FAIL: the sample release's updater passed on another release" >&2
  exit 1
fi
tail -n 1 "$work/sample-exe.log"
echo "ok"
