#!/usr/bin/env bash
# Mutation check: puts the one-line faults of scripts/mutants.tsv into the
# sources one at a time, builds incrementally, runs the whole suite (stopping
# at the first failing test; a suite that hangs past the limit counts as
# catching the fault), puts the source back, and prints per area how many
# faults the suite caught, and the ones it missed. Not part of CI's every run:
# it takes a suite run per fault.
# Usage: scripts/mutation.sh [N...]   (only the faults on those lines of the data file)
# Environment: BUILD (default build-mutation), MUTANTS (default scripts/mutants.tsv),
# LIMIT (seconds per suite run, default 900), SKIP (a ctest -E pattern of tests
# left out; default none: the history page's faults are caught only in Chromium).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${BUILD:-build-mutation}") data=${MUTANTS:-scripts/mutants.tsv} limit=${LIMIT:-900} skip=${SKIP-}
log=$build/mutation.log

# The data file's faults as "line<TAB>area<TAB>file<TAB>equivalent(0/1)<TAB>text", each
# checked first: an original that does not occur exactly once stops the run.
fault() {
    python3 - "$data" "$@" <<'EOF'
import sys
data, mode, *rest = sys.argv[1:]
areas = {"library": "src/", "host": "platform/host/", "tool": "tools/gard/"}
faults, bad = {}, []
for number, line in enumerate(open(data, encoding="utf-8"), 1):
    line = line.rstrip("\n")
    if not line.strip() or line.startswith("#"):
        continue
    fields = line.split("\t")
    if len(fields) != 5:
        bad.append(f"line {number}: {len(fields)} fields, want 5 (area, file, original, replacement, what)")
        continue
    area, path, original, replacement, what = fields
    if area not in areas or not path.startswith(areas[area]):
        bad.append(f"line {number}: area {area!r} does not fit {path}")
        continue
    try:
        count = open(path, encoding="utf-8").read().count(original)
    except OSError as e:
        bad.append(f"line {number}: {e}")
        continue
    if count != 1 or not original:
        bad.append(f"line {number}: the original text occurs {count} times in {path}: {original!r}")
    faults[number] = fields
if bad:
    sys.exit("mutation.sh: the data file does not hold:\n  " + "\n  ".join(bad))
if mode == "list":
    for number, (area, path, original, replacement, what) in faults.items():
        if rest and str(number) not in rest:
            continue
        equivalent = int(what.startswith("equivalent:"))
        print(f"{number}\t{area}\t{path}\t{equivalent}\t{what}: {original.strip()} -> {replacement.strip() or '(removed)'}")
elif mode == "apply":
    area, path, original, replacement, what = faults[int(rest[0])]
    text = open(path, encoding="utf-8").read()
    open(path, "w", encoding="utf-8").write(text.replace(original, replacement, 1))
EOF
}

runSuite() {
    (cd "$build" && timeout "$limit" ctest -j2 --stop-on-failure --timeout 300 ${skip:+-E "$skip"} >"$1" 2>&1)
}

fault list >/dev/null  # stops here, loudly, on a broken data file
mapfile -t faults < <(fault list "$@")
[ ${#faults[@]} -gt 0 ] || { echo "mutation.sh: no faults selected" >&2; exit 2; }

if [ ! -f "$build/build.ninja" ]; then
    scripts/deps.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
mkdir -p "$build"
: >"$log"
echo "== the suite without faults"
ninja -C "$build" -j2 >>"$log" 2>&1 || { echo "mutation.sh: the sources do not build (see $log)" >&2; exit 1; }
start=$SECONDS
runSuite "$build/suite.log" || { echo "mutation.sh: the suite fails without faults (see $build/suite.log)" >&2; exit 1; }
echo "passes in $((SECONDS - start)) s; ${#faults[@]} faults to try"

current="" saved=$build/saved-source
restore() {
    if [ -n "$current" ]; then
        cp "$saved" "$current" && touch "$current"
        current=""
    fi
}
trap restore EXIT INT TERM

declare -A total killed
survivors=() equivalents=() broken=()
for row in "${faults[@]}"; do
    IFS=$'\t' read -r number area path equivalent what <<<"$row"
    cp "$path" "$saved"
    current=$path
    fault apply "$number"
    start=$SECONDS
    if ! ninja -C "$build" -j2 >>"$log" 2>&1; then
        restore
        broken+=("$number $area $what")
        echo "BUILD FAILED  line $number ($area): $what"
        continue
    fi
    if runSuite "$build/mutant-$number.log"; then
        verdict=survived
    else
        verdict=killed
    fi
    restore
    failed="no test failed"
    if [ $verdict = killed ]; then
        failed=$(grep -m1 -E 'Test +#[0-9]+: .*(\*\*\*|Subprocess|SEGFAULT)' "$build/mutant-$number.log" |
                 sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1 failed/' || true)
        [ -n "$failed" ] || failed="suite run ended (timeout or no test ran)"
    fi
    if [ "$equivalent" = 1 ]; then
        equivalents+=("line $number ($area, $verdict): $what")
    else
        total[$area]=$((${total[$area]:-0} + 1))
        if [ $verdict = killed ]; then
            killed[$area]=$((${killed[$area]:-0} + 1))
        else
            survivors+=("line $number ($area): $what")
        fi
    fi
    printf '%-8s line %-3s %-7s %4ss  %s  [%s]\n' "${verdict^^}" "$number" "$area" "$((SECONDS - start))" "$what" "$failed"
done
ninja -C "$build" -j2 >>"$log" 2>&1 || true  # back to the sources as they are

echo "== caught per area"
for area in library host tool; do
    n=${total[$area]:-0} k=${killed[$area]:-0}
    [ "$n" -gt 0 ] && printf '%-8s %2d of %2d caught (%d%%)\n' "$area" "$k" "$n" $((100 * k / n))
done
for s in "${survivors[@]}"; do echo "missed: $s"; done
for e in "${equivalents[@]}"; do echo "equivalent, not scored: $e"; done
for b in "${broken[@]}"; do echo "did not build, not scored: line $b"; done
[ ${#broken[@]} -eq 0 ]
