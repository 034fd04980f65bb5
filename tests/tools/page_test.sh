#!/usr/bin/env bash
# The history page as a person sees it: headless Chromium renders it, and
# its lanes, spans, marks, tooltips and counts, read back from the DOM, must
# match histories this test made with known changes: 10 events through the
# gard tool, 10,000 through history-gen. Screenshots of them and of the
# demo's page are kept in ARTEFACTS. Skipped (exit 77) only where Chromium
# cannot be installed. Usage: page_test.sh GARD HISTORY_GEN ARTEFACTS
set -u
GARD=$1 GEN=$2 ART=$3 HERE=$(cd "$(dirname "$0")" && pwd)
W=$(mktemp -d) && trap 'rm -rf "$W"' EXIT
export GARD_HOST_NOSYNC=1 TMPDIR=$W
mkdir -p "$ART"
if ! BROWSER=$(timeout 600 "$HERE/../../scripts/browser.sh"); then
  echo "SKIPPED: the history page test needs headless Chromium (Debian package chromium), which cannot be installed here"
  exit 77
fi
n=0 bad=0
fail() { bad=$((bad + 1)); echo "FAIL $1"; printf '%s\n' "$2" | head -20 | sed 's/^/    /'; }
# browse URL ARGS...: Chromium on a page, bounded in time, a fresh profile each time.
browse() {
  local url=$1; shift
  timeout 120 "$BROWSER" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$(mktemp -d "$W/profile.XXXXXX")" --window-size=1400,1000 "$@" "$url" 2>/dev/null
}
# look NAME PAGE [VIEW]: the page's DOM, every lane open (and the time range
# VIEW, "from=...&to=..."), read back (NAME.facts, NAME.tips); without VIEW
# also a screenshot.
look() {
  local name=$1 page=$2 view=${3:-} start=$SECONDS
  browse "file://$page#lanes=all${view:+&$view}" --dump-dom >"$W/$name.dom" || fail "$name-dom" "Chromium did not render $page"
  python3 "$HERE/page_dom.py" "$W/$name.dom" "$W/$name.tips" >"$W/$name.facts"
  [ -n "$view" ] && return
  browse "file://$page" --screenshot="$ART/$name.png" >/dev/null && echo "screenshot: $ART/$name.png"
  echo "$name: $(wc -c <"$page") bytes, $(grep -E '^(ready|render)-ms' "$W/$name.facts" | tr '\n' ' ')(Chromium $((SECONDS - start)) s)"
}
# expect NAME WANT: these lines must be among the facts.
expect() {
  n=$((n + 1))
  local missing; missing=$(grep -vxF -f "$W/$1.facts" <<<"$2")
  [ -z "$missing" ] || fail "$1" "not on the page: $missing"$'\n'"on it: $(grep -v '^states' "$W/$1.facts")"
}

# Ten known events: the table made (1 gard-file mark) and a unit added and
# garded (2 lane changes, 1 log); a registry value (1 platform mark); a
# mailbox failure on sp1 repairing both erased records and garding 0x201 (3
# lane changes, 1 log); a policy (1 platform mark). The SRC text is markup,
# which must reach the page as text.
export GARD_STATE_DIR=$W/ten
"$GARD" units add 0x10 1 YL10A1 >/dev/null
"$GARD" units set-state 0x10 1 garded --src '<b>B18</b>' >/dev/null
"$GARD" --sp 1 platform reg dscv/QelRole 1 >/dev/null
from=$(date -u +%Y-%m-%dT%H:%M:%S.%6NZ)
"$GARD" --sp 1 mailbox-failure 0x201 1 >/dev/null
to=$(date -u +%Y-%m-%dT%H:%M:%S.%6NZ)
"$GARD" platform policy 11 1 >/dev/null
"$GARD" history --html "$W/ten.html" >/dev/null
look history-10 "$W/ten.html"
expect history-10 "events 10
lanes 3
tablerows 10
inrange 10
lane record 0x200 1 2
states record 0x200 erased,new
lane record 0x201 2 3
states record 0x201 erased,new,garded
lane unit 0x10 group 0x1 2 3
states unit 0x10 group 0x1 free,new,garded
row error logs 2 2
row platform 2 2
row gard files 1 1"
n=$((n + 1))
grep -q 'record 0x201: new (0x5c) -> garded (0x5d), failure word 0x010000b7' "$W/history-10.tips" &&
  grep -q '^error log #2 service processor 0x201 garded' "$W/history-10.tips" &&
  grep -q 'SRC <b>B18</b>$' "$W/history-10.tips" ||
  fail history-10-words "a tooltip lacks its words: $(cat "$W/history-10.tips")"
n=$((n + 1))
! grep -q '<b>B18' "$W/history-10.dom" || fail history-10-escaped "the SRC text became markup"
# Zoomed to the mailbox failure: its 4 events; the unit garded before it
# stays garded throughout; one error log, no platform change.
look history-10-zoomed "$W/ten.html" "from=$from&to=$to"
expect history-10-zoomed "inrange 4
tablerows 4
lane unit 0x10 group 0x1 2 1
states unit 0x10 group 0x1 garded
row error logs 2 1
row platform 2 0
row gard files 1 0"

# Ten thousand events, counted by history-gen as it made them.
# A journal that keeps them all: the default bound rotates some away.
GARD_HOST_HISTORY_MAX=67108864 "$GEN" "$W/big" 10000 >"$W/big.want" || fail gen "history-gen failed"
GARD_STATE_DIR=$W/big "$GARD" history --html "$W/big.html" >/dev/null
look history-10000 "$W/big.html"
want=$(awk '$1 == "lane" { $NF = $NF " " $NF + 1 } $1 == "row" { $NF = $NF " " $NF } { print }' "$W/big.want")
expect history-10000 "$want
lanes $(grep -c '^lane' "$W/big.want")
inrange $(awk '$1 == "events" { print $2 }' "$W/big.want")
tablerows 200"

# The demo's page.
"$GARD" demo --html "$W/demo.html" >/dev/null || fail demo "gard demo failed"
look demo-history "$W/demo.html"
expect demo-history "lane record 0x201 3 4
states record 0x201 erased,new,garded,cleared"

echo "$((n - bad)) passed, $bad failed"
[ $bad -eq 0 ]
