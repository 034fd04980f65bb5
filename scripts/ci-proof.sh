#!/usr/bin/env bash
# Proof that the library survives every platform failure, every input and
# every crash, with its figures: the every-failure sweep, the fuzzers
# (bounded, after replaying every kept regression input), the kill test,
# gard commands run in parallel keeping every change, restores of random
# moments of three writers' changes and a followed history beside killed
# commands, and the gard tool on 1,000 random files and 10 random states
# (the suite runs a sample of each).
# Expects the normal build in ./build (scripts/test.sh build), as .ci/run
# leaves it. Usage: scripts/ci-proof.sh [fuzz seconds per fuzzer, default 30]
# GARD_CI_BENCH=1 also runs a short benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
ninja -C "$build" -j2 sweep_test gard-crash multiproc_test gardtool gard-robust gard-undo >/dev/null

echo "== every-failure sweep"
"$build/tests/sweep/sweep_test" >"$build/sweep.log" 2>&1 || { tail -50 "$build/sweep.log"; exit 1; }
grep '^\[ sweep    \] covered' "$build/sweep.log"

echo "== crash tests (stopped at random crash points, fsync on; then with simulated power cuts)"
"$build/tests/crash/gard-crash" --rounds 200 --max-seconds 240 --dir "$PWD/$build"
"$build/tests/crash/gard-crash" --power --rounds 1000 --max-seconds 400 --dir "$PWD/$build"

echo "== no live process reads stale values after a writer dies (200 rounds each, fsync on)"
GARD_HOST_NOSYNC=0 GARD_ROUNDS=200 timeout 600 "$build/tests/multiproc/multiproc_test" \
  --gtest_filter='*StaleAfterKill*:*ReadsNeverGoBack*:*DamagedCounters*' >"$build/stale.log" 2>&1 \
  || { tail -50 "$build/stale.log"; exit 1; }
grep '^\[ figures' "$build/stale.log"

echo "== gard commands in parallel (two loops of 100, fsync on)"
GARD_HOST_NOSYNC=0 timeout 300 "$build/tests/multiproc/multiproc_test" --gtest_filter='*ParallelLoops*' \
  >"$build/parallel.log" 2>&1 || { tail -50 "$build/parallel.log"; exit 1; }
grep '^\[ figures' "$build/parallel.log"

echo "== gard restore: 200 sequences of three writers at once, each moment restored and restored back"
GARD_HOST_NOSYNC=1 timeout 600 "$build/tests/tools/gard-undo" "$build/tools/gard/gard" "$PWD/$build/undo-long" \
  restore --sequences 200 --seconds 500 | grep -E '^(\[ figures|gard-undo)'

echo "== gard history --follow beside three loops of 300 commands, some killed, the journal rotating (fsync on)"
GARD_HOST_NOSYNC=0 timeout 300 "$build/tests/tools/gard-undo" "$build/tools/gard/gard" "$PWD/$build/undo-long" \
  follow --commands 300 | grep -E '^(\[ figures|gard-undo)'

echo "== the gard tool on 1,000 random files and 10 random states"
GARD_HOST_NOSYNC=1 "$build/tests/tools/gard-robust" "$build/tools/gard/gard" "$PWD/$build/robust-long" \
  --files 1000 --states 10 --seconds 600

echo "== fuzzers"
scripts/fuzz.sh "${1:-30}"

if [ "${GARD_CI_BENCH:-0}" = 1 ]; then
  echo "== benchmark (short)"
  scripts/bench.sh build-bench/summary.md --benchmark_min_time=0.05 --benchmark_repetitions=1 | sed -n '/^| operation/,$p'
fi
echo "proof: sweep, kill test, parallel commands, restore and follow, and fuzzers passed"
