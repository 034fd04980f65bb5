#!/usr/bin/env bash
# Reproduces the performance figures: a Release build of the library with
# the benchmark, then every exported operation timed against its raw POSIX
# floor and SQLite. Usage: scripts/bench.sh [summary file] [benchmark flags...]
# The summary (a Markdown table) goes to build-bench/summary.md by default.
# A run without benchmark flags also replaces the figures in docs/figures.md
# (between its bench.sh markers); a run with flags measures only part and
# leaves the doc alone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh libbenchmark-dev libsqlite3-dev
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGARD_WERROR=ON -DGARD_BENCH=ON \
  -DGARD_TESTS=OFF -DGARD_TOOLS=OFF >/dev/null
ninja -C "$build" -j2 gard-bench
summary=${1:-$build/summary.md}
shift || true
machine="$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
echo "machine: $machine"
# The state directory lives on the same file system as the build.
GARD_BENCH_DIR="$PWD/$build" "$build/bench/gard-bench" --summary="$summary" \
  --benchmark_repetitions=3 --benchmark_min_time=0.2 "$@"

[ $# -eq 0 ] || { echo "benchmark flags given: docs/figures.md left as it was"; exit 0; }
doc=docs/figures.md begin='<!-- bench.sh: figures from here -->' end='<!-- bench.sh: figures up to here -->'
grep -qxF "$begin" "$doc" && grep -qxF "$end" "$doc" || { echo "no bench.sh markers in $doc" >&2; exit 1; }
fs=$(df -T "$build" | awk 'NR == 2 { print $2 }')
{
  echo "$begin"
  echo
  echo "Measured $(date -u +%F) by \`scripts/bench.sh\` on $machine;" \
       "$(. /etc/os-release && echo "$PRETTY_NAME"), $(g++ --version | head -1), -O3 (Release), $fs;" \
       "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end. Medians of 3 repetitions," \
       "microseconds per call; allocation counts are per call, with those made by libgard itself in brackets."
  cat "$summary"
  echo
  echo "$end"
} >"$build/figures.part"
# The doc keeps everything outside the markers; between them goes this run.
awk -v begin="$begin" -v end="$end" -v part="$build/figures.part" '
  $0 == begin { while ((getline line < part) > 0) print line; skip = 1; next }
  $0 == end { skip = 0; next }
  !skip' "$doc" >"$doc.new" && mv "$doc.new" "$doc"
echo "figures written to $doc"
