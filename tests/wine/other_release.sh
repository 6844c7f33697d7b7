#!/usr/bin/env bash
# A release of other sizes and recipes (other_catalogue.py), end to end: its
# payloads pass the release check, the updater built from them and that
# catalogue brings every installed edition of that release to its finished
# folder under Wine, and the updater built from the sample release does not.
# The build is the one this machine runs under Wine (preset windows or windows64).
#
#   tests/wine/other_release.sh WORKDIR SAMPLE_BUILT_EXE...
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
python="${WELLHAVEN_PYTHON:-python3}"
work="$(realpath -m "$1")"
shift
sample_exes=("$@")

rm -rf "$work"
mkdir -p "$work"
catalogue="$repo/tests/wine/other_catalogue.py"
"$python" "$repo/tools/release/make_sample_release.py" --catalogue "$catalogue" "$work/release"

preset="$("$python" "$repo/tools/wine/winebox.py" preset)"
cmake --preset "$preset" -S "$repo" -B "$work/build" "-DWELLHAVEN_RELEASE_DIR=$work/release" \
  "-DWELLHAVEN_CATALOGUE=$catalogue" > "$work/configure.log"
cmake --build "$work/build" -j2 > "$work/build.log"
exe="$work/build/$(. "$repo/updater.env" && echo "$WELLHAVEN_UPDATER_NAME").exe"

echo "== the updater built from that release (preset $preset)"
"$repo/tools/release/verify_under_wine.sh" "$work/release" "$exe"

echo "== the updater built from the sample release, which must not pass"
if "$repo/tools/release/verify_under_wine.sh" "$work/release" "${sample_exes[@]}" > "$work/sample-exe.log" 2>&1; then
  cat "$work/sample-exe.log"
  echo "FAIL: the sample release's updater passed on another release" >&2
  exit 1
fi
tail -n 1 "$work/sample-exe.log"
echo "ok"
