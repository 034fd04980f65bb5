#!/usr/bin/env bash
# Installs the Debian packages the build needs, or says in one line what is
# missing when it cannot install them. Usage: scripts/deps.sh [extra packages]
set -euo pipefail
need=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev help2man
      python3-jsonschema "$@")
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then sudo=""; elif command -v sudo >/dev/null; then sudo="sudo"; else
  echo "missing Debian packages (install them as root): ${missing[*]}" >&2; exit 1
fi
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq >/dev/null
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null \
  || { echo "could not install Debian packages: ${missing[*]}" >&2; exit 1; }
