#!/usr/bin/env bash
# Reproduces the performance figures: a Release build of the library with
# the benchmark, then every exported operation timed against its raw POSIX
# floor and SQLite. Usage: scripts/bench.sh [summary file] [benchmark flags...]
# The summary (a Markdown table) goes to build-bench/summary.md by default.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh libbenchmark-dev libsqlite3-dev
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGARD_BENCH=ON \
  -DGARD_TESTS=OFF -DGARD_TOOLS=OFF >/dev/null
ninja -C "$build" -j2 gard-bench
summary=${1:-$build/summary.md}
shift || true
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
# The state directory lives on the same file system as the build.
GARD_BENCH_DIR="$PWD/$build" "$build/bench/gard-bench" --summary="$summary" \
  --benchmark_repetitions=3 --benchmark_min_time=0.2 "$@"
