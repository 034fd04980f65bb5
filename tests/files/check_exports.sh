#!/bin/sh
# Compares the functions libgard.so defines in its dynamic symbol table with
# the list of public operations, and checks that it carries a SONAME.
set -eu
lib=$1 expected=$2
readelf -d "$lib" | grep -q 'SONAME.*libgard\.so\.' || { echo "no SONAME on $lib"; exit 1; }
# A coverage build links libgcov in, which exports __gcov_* and mangle_path.
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' \
  | grep -v -E '^(_init|_fini|_edata|_end|__bss_start|__gcov_.*|mangle_path)$' | c++filt | sed 's/(.*//' | sort -u)
if [ "$actual" != "$(sort -u "$expected")" ]; then
  echo "exported symbols differ (< expected, > actual):"
  echo "$actual" | diff "$expected" - || true
  exit 1
fi
echo "$(echo "$actual" | wc -l) exported symbols as expected"
