#!/usr/bin/env bash
# Line and branch coverage of the library (src/) by the whole test suite:
# a gcov build of its own, every test, then gcovr's summary and the lines
# still uncovered. Usage: scripts/coverage.sh [report file]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh gcovr
build=build-coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGARD_COVERAGE=ON >/dev/null
ninja -C "$build" -j2
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest -j2 --timeout 300 >/dev/null) \
  || { echo "tests failed under coverage" >&2; exit 1; }
report=${1:-$build/coverage.txt}
# Branches the compiler adds for exceptions and unreachable code are not the library's.
gcovr -r . --object-directory "$build" --filter 'src/' --exclude-throw-branches \
  --exclude-unreachable-branches --txt "$report" --print-summary
echo "uncovered lines per file: $report"
