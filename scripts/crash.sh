#!/usr/bin/env bash
# The kill test: SIGKILL at random moments into a driver of update
# operations, with file writes synced as in real use, and a check after
# every kill that each gard file is whole. Usage: scripts/crash.sh [kills]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
scripts/deps.sh
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 gard-crash
"$build/tests/crash/gard-crash" --kills "${1:-200}" --max-seconds 240 --dir "$PWD/$build"
