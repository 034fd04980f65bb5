#!/usr/bin/env bash
# Builds the library, its tool and every test, and runs the tests.
# Usage: scripts/test.sh [build dir] [extra cmake options...]
# The terminal gets the progress, and every failure with its whole output;
# everything, the build and every test's output, goes to <build>/test.log.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}; shift || true
mkdir -p "$build"
log=$(cd "$build" && pwd)/test.log
: >"$log"
echo "test.sh: the whole log is in $log"
# Runs a step with its output in the log; a failing step's output is shown.
step() {
  local what=$1; shift
  echo "== $what"
  local from; from=$(wc -l <"$log")
  if ! "$@" >>"$log" 2>&1; then
    echo "test.sh: $what failed:" >&2
    tail -n +"$((from + 1))" "$log" >&2
    exit 1
  fi
}
step "dependencies" scripts/deps.sh
# Headless Chromium for the history page test; without it that test is skipped.
scripts/browser.sh >>"$log" 2>&1 || echo "no headless browser: the history page test will be skipped" >&2
step "configure $build" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGARD_WERROR=ON "$@"
step "build" ninja -C "$build" -j"$(nproc)"
# GARD_CTEST_ARGS: more ctest arguments (CI leaves the tests of whole
# processes out of the sanitized pass: label "processes").
echo "== tests"
cd "$build"
# ctest's lines squeezed: a count now and then, each failure with the
# output that follows it, and the summary at the end.
status=0
ctest --output-on-failure -j"$(nproc)" --timeout 300 ${GARD_CTEST_ARGS:-} 2>&1 | tee -a "$log" | awk '
  /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / {
    shown = 0; line = $0; sub(/^ +/, "", line); gsub(/ \.+ */, " ", line); gsub(/  +/, " ", line)
    split($1, n, "/")
    if (line ~ / Passed / || line ~ / Not Run .*Disabled/) {
      if (n[1] % 25 == 0 || n[1] == n[2]) print "  " n[1] "/" n[2] " tests done"
    } else { print "  " line; shown = (line !~ / Skipped /) }
    next
  }
  /^ +Start +[0-9]+: / { next }
  /^[0-9]+% tests passed/ { summary = 1 }
  summary || shown { print }
' || status=$?
# The page test's screenshots, for CI to keep, failed or not.
for f in artefacts/*.png; do [ -e "$f" ] && echo "artefact: $PWD/$f"; done
[ "$status" -eq 0 ] || echo "test.sh: tests failed; the whole log is in $log" >&2
exit "$status"
