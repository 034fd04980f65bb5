#!/usr/bin/env bash
# Headless Chromium for the history page test: installs Debian's chromium
# (and python3, which reads the page back) when missing, then prints the
# browser's path; or says in one line on stderr why it cannot (exit 1).
set -euo pipefail
cd "$(dirname "$0")/.."
find() { command -v chromium || command -v chromium-browser; }
if ! find >/dev/null || ! command -v python3 >/dev/null; then
  scripts/deps.sh chromium python3 >&2 || { echo "headless Chromium cannot be installed here" >&2; exit 1; }
fi
find || { echo "chromium installed, but not on PATH" >&2; exit 1; }
