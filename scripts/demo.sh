#!/usr/bin/env bash
# Builds the library and the gard tool with its man page and completion (all
# that `cmake --install build` installs), and runs the tool's guided demo in
# a fresh temporary state directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$(nproc)" gardtool gard-man gard-completion
exec ./build/tools/gard/gard demo "$@"
