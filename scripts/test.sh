#!/usr/bin/env bash
# Builds the library, its tool and every test, and runs the tests.
# Usage: scripts/test.sh [build dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}; shift || true
scripts/deps.sh
# Headless Chromium for the history page test; without it that test is skipped.
scripts/browser.sh >/dev/null || echo "the history page test will be skipped" >&2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C "$build" -j"$(nproc)"
# GARD_CTEST_ARGS: more ctest arguments (CI leaves the tests of whole
# processes out of the sanitized pass: label "processes").
cd "$build" && ctest --output-on-failure -j"$(nproc)" --timeout 300 ${GARD_CTEST_ARGS:-}
# The page test's screenshots, for CI to keep.
for f in artefacts/*.png; do [ -e "$f" ] && echo "artefact: $PWD/$f"; done; true
