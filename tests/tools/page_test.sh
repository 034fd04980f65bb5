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
# browse URL ARGS...: Chromium on a page, bounded in time, a fresh profile
# each time, in a window WIDTH (default 1400) pixels wide.
browse() {
  local url=$1; shift
  timeout 120 "$BROWSER" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$(mktemp -d "$W/profile.XXXXXX")" --window-size="${WIDTH:-1400},1000" "$@" "$url" 2>/dev/null
}
# look NAME PAGE [VIEW [QUERY]]: the page's DOM, every lane open (and the
# time range VIEW, "from=...&to=...", and a query string QUERY), read back
# (NAME.facts, NAME.tips); without VIEW also a screenshot, NAME.png.
look() {
  local name=$1 page=$2 view=${3:-} query=${4:-} start=$SECONDS
  browse "file://$page$query#lanes=all${view:+&$view}" --dump-dom >"$W/$name.dom" || fail "$name-dom" "Chromium did not render $page"
  python3 "$HERE/page_dom.py" "$W/$name.dom" "$W/$name.tips" >"$W/$name.facts"
  [ -n "$view$query" ] && return
  browse "file://$page" --screenshot="$ART/$name.png" >/dev/null && echo "screenshot: $ART/$name.png"
  echo "$name: $(wc -c <"$page") bytes, $(grep -E '^(ready|render)-ms' "$W/$name.facts" | tr '\n' ' ')(Chromium $((SECONDS - start)) s)"
}
# legendDrawn NAME: the legend names exactly what is drawn.
legendDrawn() {
  n=$((n + 1))
  [ "$(sed -n 's/^legend //p' "$W/$1.facts")" = "$(sed -n 's/^drawn //p' "$W/$1.facts")" ] ||
    fail "$1-legend" "the legend is not what is drawn: $(grep -E '^(legend|drawn) ' "$W/$1.facts")"
}
# expect NAME WANT: these lines must be among the facts.
expect() {
  n=$((n + 1))
  local missing; missing=$(grep -vxF -f "$W/$1.facts" <<<"$2")
  [ -z "$missing" ] || fail "$1" "not on the page: $missing"$'\n'"on it: $(grep -v '^states' "$W/$1.facts")"
}

# Ten known events: the table made (1 gard-file mark) and a unit added and
# garded (2 lane changes, 1 log); a registry value (1 registry mark); a
# mailbox failure on sp1 repairing both erased records and garding 0x201 (3
# lane changes, 1 log); a policy (1 platform mark). The serial number, the
# SRC text and the program name of the policy's command are markup and
# script, which must reach the page as text and stay inert.
export GARD_STATE_DIR=$W/ten
mkdir -p "$GARD_STATE_DIR"
# The SRC's end tag has a space after its name, as the tokenizer also takes
# it: escaping '>' alone would not keep it inside the data.
serial='<i id=s>' src='</script <i id=t>' program='<svg onload=document.title=1>'
"$GARD" units add 0x10 1 "$serial" >/dev/null
"$GARD" units set-state 0x10 1 garded --src "$src" >/dev/null
"$GARD" --sp 1 platform reg dscv/QelRole 1 >/dev/null
from=$(date -u +%Y-%m-%dT%H:%M:%S.%6NZ)
"$GARD" --sp 1 mailbox-failure 0x201 1 >/dev/null
to=$(date -u +%Y-%m-%dT%H:%M:%S.%6NZ)
(exec -a "$program" "$GARD" platform policy 11 1) >/dev/null
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
now record 0x200 new
now record 0x201 garded
now unit 0x10 group 0x1 garded
row error logs 2 2
row registry 1 1
row platform 1 1
row gard files 1 1
legend erased,free,garded,info,new,platform,registry,unit
title gard history
foreign 0"
legendDrawn history-10
n=$((n + 1))
grep -q 'record 0x201: new (0x5c) -> garded (0x5d), failure word 0x010000b7' "$W/history-10.tips" &&
  grep -q '^error log #2 service processor 0x201 garded' "$W/history-10.tips" &&
  grep -qF "SRC $src" "$W/history-10.tips" && grep -qF "serial $serial, new" "$W/history-10.tips" &&
  grep -qF "by $program platform policy 11 1" "$W/history-10.tips" ||
  fail history-10-words "a tooltip lacks its words: $(cat "$W/history-10.tips")"
# Zoomed to the mailbox failure: its 4 events; the unit garded before it
# stays garded throughout; one error log, no registry or platform change.
look history-10-zoomed "$W/ten.html" "from=$from&to=$to"
expect history-10-zoomed "inrange 4
tablerows 4
lane unit 0x10 group 0x1 2 1
states unit 0x10 group 0x1 garded
row error logs 2 1
row registry 1 0
row platform 1 0
row gard files 1 0"
legendDrawn history-10-zoomed
# Whatever the address carries, the page shows the whole history.
look history-10-address "$W/ten.html" 'from=%E0%A4%A&to=%zz&x=<i id=u>' '?q=%zz&<i id=v>'
expect history-10-address "inrange 10
tablerows 10
foreign 0"
look history-10-reversed "$W/ten.html" "from=$to&to=$from"
expect history-10-reversed "inrange 10"

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
legendDrawn history-10000

# The demo's page, also as it reads in a window 800 pixels wide.
"$GARD" demo --html "$W/demo.html" >/dev/null || fail demo "gard demo failed"
look demo-history "$W/demo.html"
expect demo-history "lane record 0x201 3 4
states record 0x201 erased,new,garded,cleared
now record 0x201 cleared"
legendDrawn demo-history
WIDTH=800 browse "file://$W/demo.html" --screenshot="$ART/demo-history-800.png" >/dev/null &&
  echo "screenshot: $ART/demo-history-800.png"

echo "$((n - bad)) passed, $bad failed"
[ $bad -eq 0 ]
