#!/usr/bin/env bash
# Builds everything and runs every test: the native suite (under ASan and
# UBSan), the mutation check, the checks of the built executable, and the
# Wine end-to-end tests. The host preset's tests build the Windows
# executables they need themselves (tests build.windows and build.windows64),
# so this is the host workflow after the packages it needs. The last line
# counts the tests: run, passed, failed and skipped, and says how long it all
# took; when a step before the tests fails, it says which, and that no test ran.
set -euo pipefail
cd "$(dirname "$0")"
started=$SECONDS
step() { # step WHAT COMMAND...
  local what=$1
  shift
  "$@" || { local status=$?; echo "Tests: 0 run (the $what failed after $((SECONDS - started)) s; see above)"; exit "$status"; }
}
step "package set-up" scripts/deps.sh test
step "host configuration" cmake --preset host
step "host build" cmake --build --preset host -j "$(nproc)"
# Which Windows build the Wine tests run here, found by trying (docs/wine.md);
# where none runs, the line says why and the Wine tests fail with it.
/usr/bin/python3 tools/wine/winebox.py line || true

log=build/host/test.log
set +e
ctest --preset host -j "$(nproc)" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
if [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
  failed=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
  skipped=$(grep -c '(Skipped)$' "$log" || true)
  echo "Tests: $total run, $((total - failed - skipped)) passed, $failed failed, $skipped skipped, in $((SECONDS - started)) s"
else
  echo "Tests: ctest ended with status $status before counting them, after $((SECONDS - started)) s"
fi
exit "$status"
