#!/usr/bin/env bash
# Builds the library and runs its example in a fresh state directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$(nproc)" gard-example
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
./build/gard-example "$state"
