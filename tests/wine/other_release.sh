#!/usr/bin/env bash
# A release of other sizes and recipes, end to end from the game's folders:
# make_release.py derives the release and its catalogue from installed
# editions made by other_catalogue.py (which it never sees) and must give that
# catalogue's numbers and the same payloads and finished folders back; the updater built from them brings every installed
# edition to its finished folder under Wine, and the one built from the sample
# release does not.
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
"$python" "$repo/tools/release/make_sample_release.py" --catalogue "$repo/tests/wine/other_catalogue.py" "$work/game"
catalogue="$work/catalogue.py"
"$python" "$repo/tools/release/make_release.py" "$work/game/installed" "$work/release" --catalogue "$catalogue"
"$python" - "$catalogue" "$repo/tests/wine/other_catalogue.py" <<'EOF'
import runpy, sys
derived, made = (runpy.run_path(path) for path in sys.argv[1:])
wrong = [name for name in made if name.isupper() and derived.get(name) != made[name]]
sys.exit("the derived catalogue differs in %s" % ", ".join(wrong) if wrong else 0)
EOF
diff -r --exclude=.sample-release "$work/game" "$work/release"

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
