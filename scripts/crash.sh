#!/usr/bin/env bash
# The crash tests: a driver of changes of every kind stopped at random
# crash points, with file writes synced as in real use, then the same with a
# simulated power cut after each stop; each stop is checked against a
# replay. Usage: scripts/crash.sh [kill rounds] [power-cut rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
scripts/deps.sh
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 gard-crash
"$build/tests/crash/gard-crash" --rounds "${1:-200}" --max-seconds 240 --dir "$PWD/$build"
"$build/tests/crash/gard-crash" --power --rounds "${2:-1000}" --max-seconds 400 --dir "$PWD/$build"
