#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, AddressSanitizer, UBSan), replays
# every kept regression input, then fuzzes each target for a bounded time
# from its committed seed corpus. A crash found is written to
# fuzz/regressions/<name>/ (commit it) and fails the run.
# Usage: scripts/fuzz.sh [seconds per fuzzer, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/deps.sh clang libclang-rt-14-dev
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGARD_FUZZ=ON -DGARD_TESTS=OFF -DGARD_TOOLS=OFF -DGARD_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
names=(unit_table stored_errl keyword unflatten)
ninja -C "$build" -j2 "${names[@]/#/fuzz_}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Inputs big enough for a whole stored error-log image.
declare -A maxlen=([unit_table]=21000 [stored_errl]=52000 [keyword]=200 [unflatten]=4096)
status=0
for name in "${names[@]}"; do
  bin="$build/fuzz/fuzz_$name"
  regressions=fuzz/regressions/$name
  mkdir -p "$regressions"
  mapfile -t kept < <(find "$regressions" -type f ! -name .gitkeep | sort)
  if [ ${#kept[@]} -gt 0 ]; then
    echo "== $name: replaying ${#kept[@]} regression inputs"
    "$bin" "${kept[@]}" >"$build/$name.replay.log" 2>&1 \
      || { echo "a regression input of $name fails again:"; tail -30 "$build/$name.replay.log"; status=1; continue; }
  fi
  work="$build/corpus/$name"
  mkdir -p "$work"
  echo "== $name: fuzzing for ${seconds}s"
  if "$bin" "$work" "fuzz/corpus/$name" -max_total_time="$seconds" -max_len="${maxlen[$name]}" \
      -print_final_stats=1 -artifact_prefix="$regressions/" -timeout=10 -rss_limit_mb=2048 \
      >"$build/$name.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$name.log")
    cov=$(grep -o 'cov: [0-9]*' "$build/$name.log" | tail -1)
    echo "$name: $runs executions, $cov, no crash"
  else
    echo "$name: crash found, input kept in $regressions/:"
    grep -E 'ERROR|gardfuzz|SUMMARY|==[0-9]+==' "$build/$name.log" | head -20
    status=1
  fi
done
exit $status
