#!/usr/bin/env bash
# The Debian packages, built and tried as a lab machine would get them: the
# default Release build (tests and tool included, warnings as errors),
# cpack's packages libgard1, libgard-dev and gard, lintian on them, their
# dependencies resolved by apt (simulated), then unpacked into a scratch
# root, not onto this machine, where a consumer is built through
# find_package and pkg-config with docs/library.md's examples and run, and
# gard --version, its completion and the demo run.
# Usage: scripts/package.sh [build dir]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
scripts/deps.sh lintian dpkg-dev
mkdir -p "$build" && log=$(cd "$build" && pwd)/package.log
echo "== configure $build (Release, for /usr); the whole log in $log"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGARD_WERROR=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_RPATH=ON >"$log" 2>&1 || { cat "$log"; exit 1; }
echo "== build"
ninja -C "$build" -j"$(nproc)" >>"$log" 2>&1 || { tail -50 "$log"; exit 1; }
echo "== packages"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >>"$log" 2>&1) || { tail -30 "$log"; exit 1; }
debs=("$build"/packages/*.deb)
for deb in "${debs[@]}"; do
  echo "-- $(basename "$deb")"
  dpkg-deb -f "$deb" Package Version Section Depends
  dpkg-deb -c "$deb" | awk '{ print "   " $1 " " $6 $7 $8 }'
done
echo "== lintian"
# Errors fail; warnings and notes are shown. Run as root here (CI): lintian allows it.
lintian --allow-root --tag-display-limit 0 "${debs[@]}" | tee "$build/lintian.txt" || true
if grep -q '^E: ' "$build/lintian.txt"; then echo "package.sh: lintian found errors" >&2; exit 1; fi
echo "lintian: $(grep -c '^E: ' "$build/lintian.txt") errors, $(grep -c '^W: ' "$build/lintian.txt") warnings"
echo "== dependencies (apt, simulated)"
apt-get install --simulate -qq "${debs[@]/#/./}" >"$build/apt.txt" 2>&1 || { cat "$build/apt.txt"; exit 1; }
grep -E '^(Inst|Conf) (libgard|gard)' "$build/apt.txt" || true
echo "== scratch root"
root=$(mktemp -d) && trap 'rm -rf "$root"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
libdir=$(dirname "$(find "$root/usr/lib" -name 'libgard.so.1' | head -1)")
echo "libgard.so.1 in ${libdir#"$root"}"
export LD_LIBRARY_PATH=$libdir GARD_STATE_DIR=$root/state GARD_HOST_NOSYNC=1 TMPDIR=$root
"$root/usr/bin/gard" --version
cmake -DPREFIX="$root/usr" -DLIBPATH="$libdir" -DSRC="$PWD/tests/tools" -DWORK="$root/work" \
  -DREADME="$PWD/README.md" -DDOCS="$PWD/docs/library.md" -DSANITIZE=OFF -DGENERATOR=Ninja \
  -DCXX="$(command -v c++)" -P tests/tools/install_test.cmake
bash -c 'source "$1/usr/share/bash-completion/completions/gard" && complete -p gard' sh "$root"
"$root/usr/bin/gard" demo | tail -3
echo "package.sh: packages in $build/packages, usable from a scratch root"
