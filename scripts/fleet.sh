#!/usr/bin/env bash
# What one server of a busy lab gives a fleet's log store in a day, measured
# with the gard tool as docs/fleet.md has a shipper run it: a day of changes
# played in a fresh state directory, `gard status --json` every 5 minutes,
# and the history's new events every 5 minutes as JSON lines.
# The day (docs/fleet.md says why these numbers): 40 units recorded; every
# 10 minutes a test gards one of them with an SRC, and its part is replaced
# (a new serial number sets it up again); every 2 hours a mailbox failure
# gards service processor 0x200 and its own record is cleared again.
# Usage: scripts/fleet.sh [gard]   (default build/tools/gard/gard)
set -euo pipefail
gard=$(realpath "${1:-build/tools/gard/gard}")
w=$(mktemp -d) && trap 'rm -rf "$w"' EXIT
export GARD_STATE_DIR=$w/state GARD_HOST_NOSYNC=1
# History events as JSON lines, those after the last one shipped (by time).
ship() {
  "$gard" history --json ${since:+--since "$since"} | python3 -c '
import json, sys
d = json.load(sys.stdin)
last = int(sys.argv[1] or 0)
for e in d["history"]:
    if e["time"] > last:
        print(json.dumps(e, separators=(",", ":")))
' "$last" >>"$w/history.jsonl"
  last=$(tail -1 "$w/history.jsonl" 2>/dev/null | python3 -c 'import json,sys; l=sys.stdin.read(); print(json.loads(l)["time"] if l else 0)')
  since=$(python3 -c "import sys; t=int(sys.argv[1]); print('' if t == 0 else __import__('datetime').datetime.utcfromtimestamp(t // 1000000).strftime('%Y-%m-%dT%H:%M:%SZ'))" "$last")
}
last=0 since=""
for u in $(seq 1 40); do "$gard" units add $((0x100 + u)) 1 "SN$u" >/dev/null; done
: >"$w/status.json" && : >"$w/history.jsonl"
for slot in $(seq 0 287); do  # 5-minute slots of a day
  if ((slot % 2 == 0)); then
    u=$((0x101 + (slot / 2) % 40))
    "$gard" units set-state $u 1 garded --error-type 2 --src B18146$((slot % 100)) >/dev/null
    "$gard" units add $u 1 "SN$u-$slot" >/dev/null
  fi
  if ((slot % 24 == 0)); then
    "$gard" --sp 0 mailbox-failure 0x200 1 >/dev/null
    "$gard" --sp 0 clear own --yes >/dev/null
  fi
  "$gard" status --json | python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin), separators=(",", ":")))' >>"$w/status.json"
  ship
done
for f in status.json history.jsonl; do
  printf '%-14s %6d lines %9d bytes %8d gzip\n' "$f" "$(wc -l <"$w/$f")" "$(wc -c <"$w/$f")" "$(gzip -9c "$w/$f" | wc -c)"
done
printf 'events the server keeps: %d (shipped: each once)\n' \
  "$("$gard" history --json | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["history"]))')"
printf 'state directory: %d bytes (history files %d)\n' "$(du -sb "$w/state" | cut -f1)" \
  "$(cat "$w/state"/history* 2>/dev/null | wc -c)"
