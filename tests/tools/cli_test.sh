#!/usr/bin/env bash
# Runs the built gard tool through a table of command lines in a fresh state
# directory. Usage: cli_test.sh GARD GROUP. Rows:
#   t NAME STATUS REGEX ARGS...  exit status and a line of stdout+stderr matching REGEX
#   ask NAME STATUS REGEX ANSWER ARGS...  the same on a terminal answering ANSWER
#   j NAME PATHS VALUES ARGS...  the values at PATHS (members and indexes; several
#                                separated by ';', their values by spaces, null as
#                                null) of ARGS --json, whose exitStatus is the exit status
#   same NAME PATH ARGS...       the command left PATH (a file, or a directory's
#                                files) byte for byte as it was
# The JSON of every t, ask and j row (a t or ask row's command line run with
# --json first, in a copy of the state directory) is checked against the
# schema it names (schema_check.py) when the group ends.
# Every command runs with stdin not a terminal; destructive ones need --yes.
# Rows that cannot run here are skipped, each named, and the group exits 77
# (CTest: skipped) unless a row failed.
set -u
GARD=$1 GROUP=$2 HERE=$(cd "$(dirname "$0")" && pwd)
W=$(mktemp -d) && trap 'rm -rf "$W"' EXIT
export GARD_STATE_DIR=$W/state GARD_HOST_NOSYNC=1 TMPDIR=$W  # the demo leaves its page there
rask=$W/state/root/opt/p3/gard/gardRask
n=0 bad=0 skipped=0
fail() { bad=$((bad + 1)); echo "FAIL $GROUP/$1: $2"; printf '%s\n' "$3" | head -15 | sed 's/^/    /'; }
skip() { skipped=$((skipped + 1)); echo "SKIP $GROUP/$1: $2"; }
mkdir "$W/json" && jn=0
# The row's command line with --json, kept for the schema check: run in a copy
# of the state directory, so that the row itself finds the state as it was.
# A path into the state directory names the same place in the copy, and a
# row run from inside it runs from the copy's place.
asJson() {
  case " $* " in *" --help "*) return ;; esac
  rm -rf "$W/jstate" && { [ ! -e "$W/state" ] || cp -a "$W/state" "$W/jstate" 2>/dev/null; }
  local args=() a here=$PWD
  for a in "$@"; do args+=("${a//$W\/state/$W/jstate}"); done
  case $here in "$W/state"*) here=$W/jstate${here#"$W/state"} ;; esac
  jn=$((jn + 1)) && (cd "$here" && GARD_STATE_DIR=$W/jstate timeout 60 "$GARD" "${args[@]}" --json) >"$W/json/$jn.json" 2>/dev/null </dev/null
}
t() {  # a command that never ends (a lock held too long) fails its row after a minute
  local name=$1 want=$2 re=$3; shift 3; n=$((n + 1))
  asJson "$@"
  expect "$name" "$want" "$re" "$(timeout 60 "$GARD" "$@" 2>&1 </dev/null)" $? "$@"
}
# ask NAME STATUS REGEX ANSWER ARGS...: as t, on a terminal that answers ANSWER
# once the question has appeared (or the command ended without one).
# asking ARGS... starts a command on a terminal and returns once its question
# has appeared; answer NAME STATUS REGEX ANSWER ends it: other rows run between.
asking() {
  asked=("$@")
  asJson "$@"
  command -v script >/dev/null || return 0
  rm -f "$W/answer" && mkfifo "$W/answer"
  script -qec "$(printf '%q ' "$GARD" "$@")" /dev/null <"$W/answer" >"$W/tty" 2>&1 &
  asker=$!
  exec 3>"$W/answer"
  local i
  for ((i = 0; i < 3000; i++)); do  # at most a minute: a wait on the question, polled
    grep -q 'Go on?' "$W/tty" 2>/dev/null || ! kill -0 $asker 2>/dev/null && break
    sleep 0.02
  done
}
answer() {
  local name=$1 want=$2 re=$3 st; n=$((n + 1))
  command -v script >/dev/null || { skip "$name" "no 'script' command to give the tool a terminal"; return; }
  echo "$4" >&3
  exec 3>&-
  wait $asker && st=0 || st=$?
  expect "$name" "$want" "$re" "$(cat "$W/tty")" $st "${asked[@]}"
}
ask() { asking "${@:5}" && answer "$1" "$2" "$3" "$4"; }
expect() {
  local name=$1 want=$2 re=$3 out=$4 got=$5; shift 5
  [ "$got" = "$want" ] || { fail "$name" "exit $got, want $want: gard $*" "$out"; return; }
  grep -Eq -- "$re" <<<"$out" || fail "$name" "no line matches /$re/: gard $*" "$out"
}
j() {
  local name=$1 path=$2 want=$3 got; shift 3; n=$((n + 1))
  "$GARD" "$@" --json >"$W/out.json" 2>"$W/err" </dev/null
  local st=$?
  jn=$((jn + 1)) && cp "$W/out.json" "$W/json/$jn.json"
  got=$(cmake -DF="$W/out.json" -DP="$path;exitStatus" -P "$HERE/jget.cmake")
  [ "$got" = "$want $st" ] || fail "$name" "$path;exitStatus is '$got', want '$want $st': gard $* --json" "$(cat "$W/err")"
}
sums() { (cd "$1" 2>/dev/null && find . -type f -print0 | sort -z | xargs -0 -r sha256sum) || sha256sum <"$1"; }
same() {
  local name=$1 path=$2; shift 2; n=$((n + 1))
  sums "$path" >"$W/before" && "$GARD" "$@" >/dev/null 2>&1 </dev/null
  sums "$path" | cmp -s - "$W/before" || fail "$name" "gard $* changed $path" ""
}
# follow ARGS... starts gard ARGS (history --follow) in the background and
# returns once it follows; seen REGEX waits until a line of its output
# matches; stop NAME STATUS REGEX [SIGNAL] ends it (SIGINT) and checks its
# status and output. Each wait is bounded: a minute, polled.
follow() {
  rm -f "$W/follow.out" "$W/follow.err"  # a signal before its exec would run this shell's exit trap
  "$GARD" "$@" >"$W/follow.out" 2>"$W/follow.err" </dev/null &
  follower=$! followed=("$@")
  local i
  for ((i = 0; i < 3000; i++)); do
    grep -q 'following the history' "$W/follow.err" 2>/dev/null || ! kill -0 $follower 2>/dev/null && break
    sleep 0.02
  done
}
seen() {
  local i
  for ((i = 0; i < 3000; i++)); do grep -Eq -- "$1" "$W/follow.out" && return 0; sleep 0.02; done
  return 1
}
stop() {
  local name=$1 want=$2 re=$3 st; n=$((n + 1))
  kill -"${4:-INT}" $follower 2>/dev/null
  wait $follower && st=0 || st=$?
  expect "$name" "$want" "$re" "$(cat "$W/follow.out" "$W/follow.err")" $st "${followed[@]}"
  # Each line of a followed history in JSON is an object of its own, checked against its schema.
  [[ " ${followed[*]} " == *" --json "* ]] || return 0
  while IFS= read -r line; do jn=$((jn + 1)) && printf '%s\n' "$line" >"$W/json/$jn.json"; done <"$W/follow.out"
}
# Sets bytes of a file at an offset: poke FILE OFFSET HEXBYTES.
poke() { printf "$(sed 's/../\\x&/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

case $GROUP in
units)
  t add-new           0 '^unit 0x10 group 0x1: added to the table, state new \(0x5c\) \(set-up, 1\)$' units add 0x10 1 YL10A1
  t add-again         0 ': already recorded with this serial number, nothing changed \(unchanged, 2\)$' units add 0x10 1 YL10A1
  t add-other         0 ': added to the table'       units add 0x11 1 X
  t add-hex-serial    0 ': recorded again for a new serial number, its state back to new \(0x5c\) \(set-up, 1\)$' units add 0x11 1 00ff --hex
  t set-state-src     0 'asked for garded'           units set-state 0x10 1 garded --error-type 2 --src B1814601
  t list              0 '^  0x10  +0x1  +garded \(0x5d\)  +0x2  +YL10A1  +B1814601$' units list
  t list-header       0 '^  UNIT  +GROUP  +STATE  +ERROR TYPE  +SERIAL  +SRC$' units list
  t is-garded         0 'is garded'                  units is-garded 0x10 1
  t other-group       0 'is not garded \(the pair is not in the table\)' units is-garded 0x10 2
  j list-json         'units 1 serial' '00ff00000000000000000000' units list
  j set-state-number  'stateName' 'not-garded-2'     units set-state 0x11 1 0xec
  t garded-sticks     4 'not done: the entry was garded \(0x5d\): a garded entry keeps' units set-state 0x10 1 new
  j asked-and-held    'stateName;tableStateName;changed;notDone' 'new garded OFF the entry was garded (0x5d): a garded entry keeps its state until gard units clear, a new serial number (gard units add) or gard units reset' units set-state 0x10 1 new
  t show              0 'serial +YL10A1  \(hex 594c31304131000000000000\)' units show 0x10 1
  t show-words        0 'state +garded \(0x5d\): garded; kept until' units show 0x10 1
  j show-json         'entry index' 0                units show 0x10 1
  t show-missing      4 'not done: unit 0x10 group 0x9 is not in the table' units show 0x10 9
  j show-missing-json 'notDone' 'unit 0x10 group 0x9 is not in the table (gard units list)' units show 0x10 9
  t filter-garded     0 '^unit table: 2 used entries; 1 matches garded$' units list --garded
  t filter-state      0 '^  0x11 .*not-garded-2'     units list --in-state not-garded-2
  t filter-group      0 '^unit table: 2 used entries; 0 match in group 0x2$' units list --group 2
  j filter-json       'units 0 unitId;usedEntries;filter' "17 2 in state not-garded-2 (0xec), in group 0x1" units list --in-state 0xec --group 1
  mkdir "$W/other"
  t state-after-list  0 '^unit table: 0 used entries$' units list --state "$W/other"
  t state-was-filter  2 '--state is the state directory .*: to list entries in a state give --in-state garded$' units list --state garded
  t src-not-utf8      0 'SRC caf\\xe9$'              units set-state 0x11 1 new --src $'caf\xe9'
  j src-hex           'units 1 src;units 1 srcHex' 'caf\xe9 636166e9' units list
  t src-escaped       0 'SRC \\x1b\[31mRED$'         units set-state 0x11 1 new --src $'\e[31mRED'
  t src-backslash     0 'SRC a\\\\b$'                units set-state 0x11 1 new --src 'a\b'
  t src-del           0 'SRC a\\x7fb$'              units set-state 0x11 1 new --src $'a\x7fb'
  t not-recorded      1 'reason 0xca11 user data 0x8 0x99' units set-state 0x99 1 garded
  t file-fault        0 '1 fault'                    platform fault add UtilFile::Read@gardRask
  t list-read-fails   1 'reason 0xca07'              units list
  t read-fails-words  1 'gard file gardRask: read failed \(injected fault\), operation unit list' units list
  t fault-decimal     0 '^  UtilFile::Read@gardRask#10  \(file\)$' platform fault add 'UtilFile::Read@gardRask#0x0a'
  t fault-clear       0 '0 fault'                    platform fault clear
  same serial-too-long   "$rask" units add 0x12 1 ABCDEFGHIJKLM
  t serial-too-long   2 'longer than 12 bytes'       units add 0x12 1 ABCDEFGHIJKLM
  t unit-out-of-range 2 'out of range'               units add 0x10000 1 X
  t unit-zero         2 'free entry'                 units is-garded 0 1
  t unknown-state     2 "unknown state 'broken'"     units set-state 0x10 1 broken
  t bad-hex-serial    2 'not hex'                    units add 0x12 1 zz --hex
  t clear-no-tty      2 'add --yes'                  units clear
  same clear-refused  "$W/state" units clear
  t clear-dry-run     0 'dry run, nothing changed; this would set every unit-table entry to cleared' units clear --dry-run
  same clear-dry-run  "$W/state" units clear --dry-run
  same reset-dry-run  "$W/state" units reset --dry-run
  j reset-dry-json    'dryRun;done' 'ON OFF'         units reset --dry-run
  ask clear-declined  4 'not done: not confirmed, nothing changed' n units clear
  # A question left open holds up no other command; what changed meanwhile is not done unasked.
  asking units clear
  t list-while-asked  0 '^  0x10 .*garded \(0x5d\)'   units list
  answer clear-asks   0 'Go on\? \[y/N\] y'          y
  t list-cleared      0 '^  0x10 .*cleared \(0xcc\)  +0x0 ' units list
  asking units reset
  t add-while-asked   0 ': added to the table'       units add 0x12 1 C
  answer reset-changed 4 'not done: the state changed while the question was open: this would now empty the unit table, removing its 3 used entries; nothing changed' y
  t reset-no-tty      2 'add --yes'                  units reset
  t reset             0 'reset'                      units reset -y
  t list-empty        0 '0 used entries'             units list
  ;;
sp)
  t show              0 '0x201 present  marker 0x0c05  state new \(0x5c\)' sp show
  t gard-self         0 ': done \(library result done, 0\)$' sp set-state 0x200 garded --failure 0x010000b7
  t write-fault       0 '1 fault'                    platform fault add SVPD_set_qel_gd_keyword@0x200
  t write-failed      4 '^set 0x200 to new \(0x5c\): not done \(library result done, 0, but the keyword does not hold the state\)$' sp set-state 0x200 new
  j write-failed-json 'resultName;done'              'done OFF' sp set-state 0x200 new
  t write-fault-clear 0 '0 faults'                   platform fault clear
  j record-json       'records 0 failureWord' 16777399 sp show
  t garded            0 '0x200 is garded'            sp garded 0x200
  t do-gard           0 'do-gard 1'                  sp do-gard 0x200
  t usable            0 'garded \(2\)'               sp usable 0x200
  t usable-not-sp     4 'not done: 0x300 is not a service processor' sp usable 0x300
  t failover          0 'not-usable'                 sp failover
  t not-this-sp       1 'reason 0xca11 user data 0x1 0x201 0x5d' sp set-state 0x201 garded
  j not-this-sp-json  'result;resultName;errors 0 eventType;errors 0 severity;errors 0 srcs 0 reasonCode;errors 0 srcs 0 userData 1' '1 not-done 1 0 51729 513' sp set-state 0x201 garded
  t refused-ec        4 'not done: 0x200 is garded \(0x5d\), which 0xec and 0xed do not replace' sp set-state 0x200 not-garded-2
  t ungard          0 'state cleared \(0xcc\)'       sp set-state 0x200 cleared --notify off
  t dma-config        0 '0x201 present .*dma-mark'   sp dma-config
  j dma-config-small  'vpdResultName' buffer-small   sp dma-config --size 63
  t dma-config-4      4 'not done: the buffer is smaller than 64 bytes' sp dma-config --size 63
  t no-dma-path       0 'functional/0x201: 0x0'     platform functional 0x201 off
  t usable-no-path    0 'no-dma-path \(1\)'          sp usable 0x201
  t keyword-long      0 'keyword: (ab){40}$'         platform keyword 0x201 "$(printf 'ab%.0s' {1..40})"
  t unreadable        4 '0x201 present  keyword unreadable: the library counts it as garded' sp show
  t unreadable-read   4 '^service-processor records \(a keyword could not be read: unreadable, 1\):$' sp show
  t unreadable-why    4 'not done: the keyword of 0x201 cannot be read' sp show
  j unreadable-json   'records 1 readable' OFF       sp show
  t keyword-erased    0 'keyword: f{64}$'            platform keyword 0x201 erased
  t state-max         0 'set 0x200 to erased \(0xff\)' sp set-state 0x200 0xff --notify off
  t state-too-big     2 "state '0x100' out of range \(0 to 0xff\)" sp set-state 0x200 0x100
  t bad-notify        2 'neither on nor off'         sp set-state 0x200 new --notify maybe
  ;;
system)
  t mailbox-bad-unit  4 'not done: 0x100 is not a service processor' mailbox-failure 0x100 1
  t mailbox-logs      4 'reason 0xca11 .*user data 0x4 0x100 0x1 0x0' mailbox-failure 0x100 1
  j mailbox-logs-json 'committed 0 kind;committed 0 eventType;committed 0 severity;committed 0 modId;committed 0 srcs 0 userData 0' 'error 1 0 34 4' mailbox-failure 0x100 1
  t mailbox-gards     0 '0x200 present .*garded \(0x5d\)  failure word 0x060000b7' mailbox-failure 0x200 6
  t mailbox-reads     0 'types 1 and 6 gard; this one only reads' mailbox-failure 0x200 3
  u1=$("$GARD" platform unit-id 0x2e70 1 --json | grep -o '"unitId": [0-9]*' | grep -o '[0-9]*$')
  u2=$("$GARD" platform unit-id 0x2e90 2 --json | grep -o '"unitId": [0-9]*' | grep -o '[0-9]*$')
  t port1             0 '0x5 \(5\)'                  platform port "$u1" 5
  t deconfig-no-port  4 'not done: no error log stored for unit 0x2e92' dma-deconfig 0x42 1 2
  t port2             0 '0x6 \(6\)'                  platform port "$u2" 6
  t deconfig          0 'garded, gard bit set'       dma-deconfig 0x42 1 2 --error-type 2 --src B1814602
  j stored-both       'storedErrls 1 errl srcs 0 gardBit' ON dma-deconfig 0x43 1 2
  t stored-errl       0 'SRC 0: B1814601 .*gard bit' stored-errl "$u1"
  t none-stored       4 'not done: no error log is stored for unit 0x1234' stored-errl 0x1234
  j none-stored-json  'notDone' 'no error log is stored for unit 0x1234' stored-errl 0x1234
  t out-word-1        0 '0x1 \(1\)'                  platform deconfig-out 1
  t not-garded        4 'not done: the hardware control left its out-word at 1' dma-deconfig 0x42 1 2
  t deconfig-fault    0 '1 fault'                    platform fault add vormGardDeconfigDmaPath
  t deconfig-fails    1 'error log returned'         dma-deconfig 0x42 1 2
  t fault-clear       0 '0 fault'                    platform fault clear
  t clear-no-tty      2 'this would set every unit-table entry to cleared \(0xcc\) and set this processor.s own record \(0x200\) to cleared \(0xcc\); add --yes' clear all
  same clear-dry-run  "$W/state" clear all --dry-run
  t clear-units       0 'clear domain 171: ok'       clear units --yes
  t clear-own         0 'clear domain 167: ok'       clear own --yes
  t own-cleared       0 '0x200 present .*cleared \(0xcc\)' sp show
  t clear-nothing     4 'not done: domain 100 names no gard data' clear 100 --yes
  t clear-leading-0   0 'clear domain 171: ok'       clear 0171 --yes
  t clear-refused     4 'not done: sp1 is in role 0, only the processor in role 1' --sp 1 clear all --yes
  t gard-again        0 ': done \(library'           sp set-state 0x200 garded
  t sibling-state-2   0 'SiblingState: 0x2'          platform reg dscv/SiblingState 2
  t own-left-alone    4 'not done: the sibling state .* is 2' clear own --yes
  t bad-domain        2 "unknown domain 'some'"      clear some
  t long-src          2 'longer than 32'             dma-deconfig 1 1 2 --src 0123456789012345678901234567890123
  ;;
errlogs)
  t mailbox           4 ''                           mailbox-failure 0x100 1
  t list              0 '#1 component 0xca00 action 0x2000 \(error\) module 0x22 reason 0xca11' errlogs list
  t show              0 'SRC 0: D122CA11  module 0x22 reason 0xca11 user data 0x4 0x100 0x1 0x0' errlogs show 1
  t list-words        0 '^    mailbox failure ignored: unit 0x100 is not a service processor' errlogs list
  t list-when         0 '^    committed 20[0-9-]+T[0-9:.]+Z on sp0 by gard \(pid [0-9]+\)$' errlogs list
  j when-json         'errlogs 0 sp;errlogs 0 program;errlogs 0 call' "0 gard $(grep -o ' call=[0-9.]*' "$W/state/errl/committed" | cut -d= -f2)" errlogs list
  sed 's/ sp=.* detail=/ detail=/; s/ j=[0-9.]*//; s/ | crc=.*//' "$W/state/errl/committed" >>"$W/state/errl/committed"  # as logged before times were kept
  t old-log           0 '^    committed before times were kept: time, processor and program not recorded$' errlogs show 2
  t old-log-json      0 '"timeText": null' errlogs list --json
  j show-json-words   'errlogs 0 text' 'mailbox failure ignored: unit 0x100 is not a service processor (0x200 or 0x201), failure type 1' errlogs show 1
  j show-json         'errlogs 0 srcs 0 ascii' 'D122CA11                        ' errlogs show 1
  t show-missing      2 'no committed error log #7'  errlogs show 7
  j trace-json        'trace 0 format' ' %x,%x'      trace
  t trace             0 '^src/rdnd/mailbox.cc:[0-9]+ GardMailboxSetState: not a service processor 0x100$' trace
  j trace-all-known   'unknownIds' 0                 trace
  cp "$GARD" "$W/gard-alone"  # without the trace-strings table beside it
  GARD=$W/gard-alone t trace-no-table 0 '^line [0-9]+ id 0x[0-9a-f]+ : 0x100$' trace
  t trace-clear       0 'trace cleared'              trace --clear
  j trace-empty       'trace' '[]'                   trace
  t clear-no-tty      2 'this would forget the 2 committed error logs; add --yes' errlogs clear
  same clear-dry-run  "$W/state" errlogs clear --dry-run
  t clear             0 'cleared'                    errlogs clear --yes
  t list-empty        0 '^0 committed'               errlogs list
  # A log of about 330 bytes a line kept to 500: every second commit rotates it,
  # the first rotation dropping nothing and the second the first two logs.
  for _ in 1 2 3 4; do GARD_HOST_ERRL_MAX=500 "$GARD" mailbox-failure 0x100 1 >/dev/null 2>&1 || true; done
  GARD_HOST_ERRL_MAX=500 t rotated-own 4 '^  #5 component 0xca00' mailbox-failure 0x100 1
  t rotated-list      0 '2 logs before #3 were dropped when the log rotated' errlogs list
  j rotated-json      'dropped;errlogs 0 number'     '2 3' errlogs list
  t rotated-show      2 'no longer kept: the oldest 2' errlogs show 1
  # A size in a form the setting does not take is said, and the default
  # (1 MiB) used: none of these rotates the log again.
  for max in 500B 0x1f4 0 -500 ' 500' 1099511627777 99999999999999999999; do
    GARD_HOST_ERRL_MAX=$max t "errl-max-$max" 4 "^gardhost: GARD_HOST_ERRL_MAX '$max' is not a size \\(bytes, or a number with K, M or G: 512K\\); using the default, 1048576 bytes$" mailbox-failure 0x100 1
  done
  j not-rotated       'dropped'                      2 errlogs list
  GARD_HOST_ERRL_MAX=1K t errl-max-kib 4 '^  #1[0-9] component 0xca00' mailbox-failure 0x100 1
  n=$((n + 1)); grep -q 'not a size' <<<"$(GARD_HOST_ERRL_MAX=1K "$GARD" mailbox-failure 0x100 1 2>&1)" && fail errl-max-kib "1K refused" ""
  "$GARD" errlogs list --json >"$W/out.json"
  n=$((n + 1)); d=$(cmake -DF="$W/out.json" -DP=dropped -P "$HERE/jget.cmake")
  [ "${d:-0}" -gt 2 ] || fail rotated-at-kib "GARD_HOST_ERRL_MAX=1K did not rotate the log: $d dropped" ""
  ;;
platform)
  t reg-list          0 'sp0/reg/hutl/HOMSystemType: 0x10030000' platform reg
  t reg-sp1           0 'sp1/reg/dscv/QelRole: 0x0'  --sp 1 platform reg dscv/QelRole
  t reg-set           0 'sp1/reg/dscv/QelRole: 0x1'  --sp 1 platform reg dscv/QelRole 1
  t reg-unknown-width 2 'no known width'             platform reg some/Key 1
  t reg-bytes         0 'sp0/reg/some/Key: 0102'     platform reg some/Key --bytes 0102
  t reg-remove        0 'missing'                    platform reg some/Key --remove
  t reg-outside       2 "registry key '../../x' is not a key name" platform reg ../../x --bytes 41
  touch "$W/state/sp0/reg/file"
  t reg-refused       4 'not done: the host could not write sp0/reg/file/x' platform reg file/x --bytes 41
  t reg-binary        0 'fstp/P3_Root: "\\xff/opt"'  platform reg fstp/P3_Root --bytes ff2f6f7074
  j reg-binary-json   'value;valueHex' '\xff/opt ff2f6f7074' platform reg fstp/P3_Root
  t reg-back          0 'fstp/P3_Root: "/opt/p3"'    platform reg fstp/P3_Root /opt/p3
  t keyword-set       0 'keyword: 0c055d'            platform keyword 0x201 0c055d
  t keyword-read      0 '0x201 present .*garded \(0x5d\)' sp show
  t keyword-bad-hex   2 'odd number of hex digits'   platform keyword 0x201 0c05d
  t absent            0 'present: 0x0'               platform present 0x201 off
  t show-absent       0 '0x201 absent'               sp show
  t policy            0 'policy/11: 0x1'             platform policy 11 1
  t policy-forbids    4 'not done: the gard policy forbids it: policy 11 is 1' sp set-state 0x200 garded
  t mnfg-on           0 'mnfg/flag/2: 0x1'           platform mnfg-flag 2 on
  t mnfg-refuses      1 'reason 0x1 user data 0x2c'  units set-state 0x10 1 garded
  t mnfg-words        1 'manufacturing policy flag 2 is set, unit 0x10' units set-state 0x10 1 garded
  t mnfg-off          0 'mnfg/flag/2: missing'       platform mnfg-flag 2 off
  t fault-bad-call    2 'does not name a platform call' platform fault add 'UtilFile::Raed'
  t fault-bad-nth     2 'not a number'               platform fault add 'UtilFile::Read#x'
  t fault-nth         0 'UtilReg::read@dscv/QelRole#1' platform fault add 'UtilReg::read@dscv/QelRole#1'
  t role-unread       1 'error log returned by the' sp set-state 0x200 garded
  t fault-list        0 '1 fault'                    platform fault list
  printf 'UtilFile::Read@\xff\xfe\n' >>"$W/state/faults"
  j fault-not-utf8    'faults 1 fault;faults 1 faultHex;faults 1 source' 'UtilFile::Read@\xff\xfe 5574696c46696c653a3a5265616440fffe file' platform fault list
  t fault-add-help    0 '^  FAULT TEXT REQUIRED'     platform fault add --help
  # The host's own messages show a file's bytes by the tool's rule.
  printf 'Util\x1b[31mX\a\n' >"$W/state/faults"
  t fault-line-shown  0 '^gardhost: ignoring fault "Util\\x1b\[31mX\\x07"$' platform fault list
  t one-unit-name     0 '^  UNIT TEXT REQUIRED +0x200 or 0x201$' platform present --help
  # GARD_HOST_POINTS lists the calls and crash points of a command with the
  # counts that aim a fault or GARD_HOST_CRASH_AT at exactly one of them.
  t points-fault-clear 0 '0 faults'                  platform fault clear
  t points-seed       0 'set-up'                     units add 0x20 1 P
  n=$((n + 1)) && GARD_HOST_POINTS=$W/points "$GARD" units add 0x20 1 Q >/dev/null 2>&1 ||
    fail points-listed "gard units add with GARD_HOST_POINTS failed" ""
  # The table's write, and the first crash point after it.
  write=$(grep -o ' UtilFile::Write@gardRask#[0-9]*$' "$W/points" | tail -1)
  crash=$(sed -n "/ call UtilFile::Write#/,\$ { / crash [0-9]* /{ s/.* crash [0-9]* //p; q; } }" "$W/points")
  n=$((n + 1)) && rm -f "$W/points-killed"
  GARD_HOST_CRASH_AT=$crash GARD_HOST_POINTS=$W/points-killed "$GARD" units add 0x20 1 R >/dev/null 2>&1
  st=$? && last=$(tail -1 "$W/points-killed")
  [ -n "$crash" ] && [ "$st" = 137 ] && [ "${last##* }" = "$crash" ] ||
    fail points-crash "GARD_HOST_CRASH_AT=$crash: exit $st, want 137 there; last point passed: $last" "$(cat "$W/points")"
  t points-fault-add  0 '1 fault'                    platform fault add "${write# }"
  t points-fault-hits 1 'gard file gardRask: write failed \(injected fault\)' units add 0x20 1 S
  ;;
decode)
  "$GARD" units add 0x10 1 A >/dev/null && "$GARD" units add 0x11 1 B >/dev/null
  t live-table        0 '0 anomalies'                decode "$rask"
  img=$W/units.img && head -c 20480 /dev/zero >"$img"
  poke "$img" 4004 0010 && poke "$img" 4008 0010 && poke "$img" 4504 00000042
  t unknown-state     3 'entry 0 .*unknown state 0x42' decode "$img"
  t used-after-free   3 'entry 2 .* is used after free entry 1' decode "$img"
  t pair-twice        3 'entry 2 .* records the pair of entry 0 again' decode "$img"
  j anomalies-json    'anomalies 2' 'entry 2 (unit 0x10 group 0x0) records the pair of entry 0 again' decode "$img"
  errl=$W/errl.img && head -c 51200 /dev/zero >"$errl"
  t empty-errl        0 '0 of 20 slots used'         decode "$errl"
  poke "$errl" 2056 00000005 && poke "$errl" 2064 ffffffffffff
  t no-unflatten      3 'slot 1 \(unit 0x5\) does not unflatten' decode "$errl"
  poke "$errl" 4200 01
  t dirty-free-slot   3 'free slot 2 is not all zero' decode "$errl"
  n=$((n + 1)); GARD_STATE_DIR=$W/untouched "$GARD" decode "$errl" >/dev/null 2>&1
  [ -e "$W/untouched" ] && fail outside-state "decode made a state directory" ""
  mkdir "$W/short" && head -c 51199 /dev/zero >"$W/short/gardErrl"
  t errl-truncated    3 'size 51199 bytes, a gardErrl file has 51200 \(truncated\)' decode "$W/short/gardErrl"
  head -c 40000 /dev/zero >"$W/short/table.bin" && poke "$W/short/table.bin" 0 cafe0001
  t units-by-content  3 'unit table, magic 0xcafe0001' decode "$W/short/table.bin"
  t missing           2 'cannot read'                decode "$W/nothing"
  t directory         2 'is not a regular file'      decode "$W"
  t device            2 'is not a regular file'      decode /dev/zero
  mkfifo "$W/fifo"
  t fifo              2 'is not a regular file'      decode "$W/fifo"
  head -c 20480 /dev/zero | tr '\0' '\377' >"$W/ff.bin"
  j all-ff-json       'kind;magic' 'units 4294967295' decode "$W/ff.bin"
  ;;
story)
  # With --sp 0 a processor gards itself; --sp 1 sees it and answers failover.
  t sp0-gards-itself  0 ': done \(library'           --sp 0 sp set-state 0x200 garded
  t sp1-sees-it       0 '0x200 is garded'            --sp 1 sp garded 0x200
  t sp1-failover      0 'sibling-down \(1\)'         --sp 1 sp failover
  t sp0-failover      0 'not-usable \(0\)'           --sp 0 sp failover
  j sp1-status-json   'failoverName' sibling-down    --sp 1 status
  t sp1-role-0        4 'not done: sp1 is in role 0, only the processor in role 1 changes its own record' --sp 1 mailbox-failure 0x201 1
  t sp1-record-new    4 '0x201 present .*new \(0x5c\)' --sp 1 mailbox-failure 0x201 1
  t sp1-takes-role    0 '0x1'                        --sp 1 platform reg dscv/QelRole 1
  t sp1-gards-itself  0 '0x201 present .*garded \(0x5d\)  failure word 0x010000b7' --sp 1 mailbox-failure 0x201 1
  t rmgr-log          0 'rmgrGardBackup' platform rmgr-log
  t sp1-down-too      0 'not-usable \(0\)'           --sp 1 sp failover
  t sp0-clears-own    0 'clear domain 167: ok'       --sp 0 clear own --yes
  t sp0-back          0 'sibling-down \(1\)'         --sp 0 sp failover
  t sp1-by-env        0 'running as sp1'             status --sp 01
  GARD_HOST_SP=1 t env-sp 0 'running as sp1'        status
  ;;
usage)
  # Every command has a JSON schema, and every schema but the shared ones
  # (and that of a followed history's lines) a command.
  n=$((n + 1)) && schemas=$HERE/../../tools/gard/schemas
  commands=$("$GARD" --commands | tr ' ' '-' | sort) && files=$(cd "$schemas" && ls *.schema.json | sed 's/\.schema\.json$//' | grep -vx 'common\|error\|history-event' | sort)
  [ -n "$commands" ] && [ "$commands" = "$files" ] ||
    fail schemas-per-command "commands and schema files differ" "$(diff <(echo "$commands") <(echo "$files"))"
  t no-command        2 'a command is required'
  t unknown-command   2 "unknown command 'bogus' \(see gard --help\)" bogus
  t unknown-sub       2 "unknown command 'bogus' \(see gard units --help\)" units bogus
  t help              0 'Example: gard demo'         --help
  t help-glossary     0 'docs/glossary.md'           --help
  t sub-help          0 'Example: gard units add 0x10 1 YL10A1' units add --help
  t group-units       0 '^Example: gard units add'   units --help
  t group-sp          0 '^Example: gard --sp 0 sp'   sp --help
  t group-errlogs     0 '^Example: gard errlogs'     errlogs --help
  t group-platform    0 '^Example: gard platform'    platform --help
  t bad-sp            2 "--sp '2' out of range"      --sp 2 status
  t empty-sp          2 "--sp '' is not a number"    --sp '' status
  GARD_HOST_SP=7 t env-sp-7 2 "GARD_HOST_SP '7' out of range" status
  GARD_HOST_SP=abc t env-sp-abc 2 "GARD_HOST_SP 'abc' is not a number" status
  t bad-number        2 "failure type 'x' is not a number" mailbox-failure 0x200 x
  t decimal-010       0 'unit 0xa group 0x1 is not garded' units is-garded 010 1
  t decimal-09        0 'unit 0x9 group 0x1 is not garded' units is-garded 09 1
  t hex-upper         0 'unit 0xab group 0x1 is not'  units is-garded 0XaB 1
  t hex-empty         2 "unit id '0x' is not a number" units is-garded 0x 1
  # Both sides of the last digit: the largest value, and one more.
  t unit-one          0 'unit 0x1 group 0x1 is not'  units is-garded 1 1
  t unit-max          0 'unit 0xffff group 0x1 is not' units is-garded 65535 1
  t unit-over         2 "unit id '65536' out of range \(0 to 0xffff\)" units is-garded 65536 1
  t group-max         0 'group 0xffffffff is not'    units is-garded 1 4294967295
  t group-over        2 "group id '4294967296' out of range" units is-garded 1 4294967296
  t group-max-hex     0 'group 0xffffffff is not'    units is-garded 1 0xFFFFFFFF
  t group-over-hex    2 "group id '0x100000000' out of range" units is-garded 1 0x100000000
  t group-wraps-early 2 "group id '99999999999' out of range" units is-garded 1 99999999999
  t group-wraps-hex   2 "group id '0x1ffffffff0' out of range" units is-garded 1 0x1ffffffff0
  t digit-is-base     2 "unit id '1a' is not a number" units is-garded 1a 1
  t hex-digit-g       2 "unit id '0x1g' is not a number" units is-garded 0x1g 1
  t escaped-input     2 'unknown state .\\x1b\[31m.'  units set-state 1 1 $'\e[31m'
  touch "$W/file"
  t state-not-dir     2 "state directory $W/file/sub cannot be made: $W/file is not a directory" --state "$W/file/sub" status
  [ -e "$W/file/sub" ] && fail state-not-dir "created something" ""
  t state-empty-arg   2 '--state is empty'           --state '' status
  # A typo in --state is no new state directory.
  t state-missing     2 "^gard: state directory $W/typo does not exist: --state names an existing directory \\(mkdir -p $W/typo makes one\\)$" --state "$W/typo" status
  [ -e "$W/typo" ] && fail state-missing "made it" ""
  j state-missing-version 'stateDirExists;stateDirProblem' "OFF does not exist: --state names an existing directory (mkdir -p $W/typo makes one)" --state "$W/typo" version
  # Every option that takes a value refuses an empty one, unless its help
  # says what '' means; each command line is whole without it.
  before=$n
  while IFS= read -r line; do
    eval "set -- $line"
    for opt in $("$GARD" "$@" --help | grep -E '^  --[a-z-]+ [A-Z0-9|]' | grep -vE -- "^  --(state|sp) |'' for" | awk '{ print $1 }'); do
      t "empty-${opt#--}-$1" 2 "^gard: $opt: is empty: give a value" "$@" "$opt" ''
    done
  done <<EOF
units set-state 0x10 1 garded
units list
sp set-state 0x200 new
sp dma-config
dma-deconfig 0x42 1 2
platform reg some/Key
decode "$HERE/cli_test.sh"
demo
history
EOF
  [ $((n - before)) -ge 15 ] || fail empty-rows "$((n - before)) empty values tried, want the 15 options of these commands" ""
  mkdir -p "$W/home/Documents"
  t state-not-ours    2 'is not a gard state directory and not empty' --state "$W/home" status
  [ -e "$W/home/.seeded" ] && fail state-not-ours "seeded it" ""
  mkdir "$W/empty"
  t state-empty-dir   0 'committed error logs: 0'    --state "$W/empty" status
  t status            0 'committed error logs: 0'    status
  j status-json       'processors records 1 stateName' new status
  t version           0 '^libgard 1\.[0-9.]+ \(SONAME libgard\.so\.1, ' --version
  t version-dir       0 "^state directory $W/state$" version
  j version-json      'tool;library soname;stateDirExists' "1.0.0 libgard.so.1 ON" version
  t demo              0 '== 5\. Gard data cleared'   demo
  j demo-json         'steps 1 status processors records 1 stateName' garded demo
  t demo-role-said    0 'sp1 now holds role 1'       demo
  j demo-step-logs    'steps 1 committed 0 reasonCode' 51713 demo
  j demo-none-at-end  'committed' '[]'               demo
  t demo-page         0 '^the history of this demo, as a page: .*/history.html \(21 events on 4 lanes; open it in a browser\)$' demo
  # Every number at 0, at its largest and past it, and one that passes its
  # largest before its last digit.
  t errl-number-0     2 'no committed error log #0 '  errlogs show 0
  t errl-number-max   2 'no committed error log #4294967295 ' errlogs show 4294967295
  t errl-number-over  2 "error log number '4294967296' out of range" errlogs show 4294967296
  t size-max          0 'DMA configuration view'     sp dma-config --size 64
  t size-over         2 "buffer size '65' out of range \(0 to 0x40\)" sp dma-config --size 65
  t byte-0            0 'SiblingState: 0x0'          platform reg dscv/SiblingState 0
  t byte-max          0 'SiblingState: 0xff \(255\)' platform reg dscv/SiblingState 0xff
  t byte-over         2 "value '0x100' out of range \(0 to 0xff\)" platform reg dscv/SiblingState 0x100
  t byte-wraps        2 "value '2560000000001' out of range" platform reg dscv/SiblingState 2560000000001
  t sibling-back      0 'SiblingState: 0x1'          platform reg dscv/SiblingState 1
  t call-0            2 'calls count from 1'         platform fault add 'UtilFile::Read#0'
  t call-max          0 '1 fault'                    platform fault add 'UtilFile::Read#4294967295'
  t call-over         2 "call number '4294967296' out of range" platform fault add 'UtilFile::Read#4294967296'
  t call-clear        0 '0 faults'                   platform fault clear
  t unit-for-bounds   0 'added to the table'         units add 0x11 1 A
  t error-type-0      0 'asked for new \(0x5c\), error type 0x0' units set-state 0x11 1 new --error-type 0
  t error-type-max    0 'error type 0xffffffff'      units set-state 0x11 1 new --error-type 4294967295
  t error-type-over   2 "error type '4294967296' out of range" units set-state 0x11 1 new --error-type 4294967296
  t unit-state-max    0 'asked for unknown \(0xffffffff\)' units set-state 0x11 1 0xffffffff
  t unit-state-over   2 "state '0x100000000' out of range" units set-state 0x11 1 0x100000000
  t failure-max       0 ': done'                     sp set-state 0x200 new --failure 0xffffffff
  t failure-over      2 "failure word '0x100000000' out of range" sp set-state 0x200 new --failure 0x100000000
  t failure-wraps     2 "failure word '99999999999' out of range" sp set-state 0x200 new --failure 99999999999
  t domain-0          4 'domain 0 names no gard data' clear 0 --yes
  t domain-max        4 'domain 4294967295 names no gard data' clear 4294967295 --yes
  t domain-over       2 "domain '4294967296' out of range" clear 4294967296 --yes
  t group-0           0 'unit 0x1 group 0x0 is not garded' units is-garded 1 0
  ;;
docs|docs-bad-history)
  # Every example of the README and the tool reference, as written: each
  # sh block in a fresh state directory; the reference's table in order in
  # one more. A comment "exit N" names the status a line expects. With a
  # bad history each state directory starts with a history file that is a
  # directory, junk, cut short, a pipe or a link, and every command must
  # still do what the example expects.
  export TMPDIR=$W PATH=$(dirname "$GARD"):$PATH
  GARD=$(cd "$(dirname "$GARD")" && pwd)/$(basename "$GARD")
  cd "$W" || exit 2  # relative paths in the examples (--state DIR) land here
  block=0
  plant() {
    [ "$GROUP" = docs-bad-history ] || return 0
    mkdir -p "$1" && rm -rf "$1/history" "$1/history.1"
    case $((block % 5)) in
    0) mkdir "$1/history" ;;
    1) printf 'junk\n\x00\xff\n' >"$1/history" ;;
    2) printf 'v=1 t=1 sp=0 prog=67 name=' >"$1/history" && printf 'v=1 t=2' >"$1/history.1" ;;
    3) mkfifo "$1/history" ;;
    4) ln -s /etc/passwd "$1/history" ;;
    esac
  }
  while IFS= read -r line; do
    case $line in
    BLOCK*) block=$((block + 1)); export GARD_STATE_DIR=$W/docs-$block; plant "$GARD_STATE_DIR" ;;
    export*) eval "$line"; plant "$GARD_STATE_DIR" ;;
    gard*)
      want=0; [[ $line =~ \#.*exit\ ([0-9]) ]] && want=${BASH_REMATCH[1]}
      eval "set -- $line"; shift
      if [[ " $* " == *" --follow "* ]]; then follow "$@" && stop "docs-$block" "$want" ''; else t "docs-$block" "$want" '' "$@"; fi ;;
    esac
  done < <(for f in "$HERE/../../README.md" "$HERE/../../docs/tool.md"; do
             awk '/^```sh/ { print "BLOCK"; on = 1; next } /^```/ { on = 0 } on' "$f"
             echo BLOCK; grep '^|' "$f" | grep -o '`gard [^`]*`' | tr -d '`'
           done)
  [ $block -ge 4 ] || fail docs-found "only $block example blocks found" ""
  ;;
reads)
  # No answer from a failed read: null, unknown.FIELD says why, exit 1.
  t seed              0 'set-up'                     units add 1 1 A
  t seed-garded       0 'garded'                     units set-state 1 1 garded
  : >"$rask"
  why='gard file gardRask: read failed (short file), operation'
  j empty-is-garded   'garded;recorded;unknown garded' "null null $why unit is-garded" units is-garded 1 1
  t empty-words       1 '^unit 0x1 group 0x1: garded unknown \(gard file gardRask: read failed \(short file\)' units is-garded 1 1
  j empty-list        'units;unknown units'          "null $why unit list" units list
  t empty-status      1 '^unit table: unknown \(gard file gardRask: read failed \(short file\), operation unit list\)$' status
  j empty-show        'entry;exitStatus'             'null 1' units show 1 1
  j empty-set-state   'tableState;changed'           'null null' units set-state 1 1 new
  j clear-failed      'rc;notDone'                   "4 the unit table was not cleared: $why unit table clear" clear units --yes
  t empty-says-how    1 '^gard: gard file gardRask holds 0 bytes, .*: no unit-table command can read it, .*; gard units reset --yes makes a new, empty table' units is-garded 1 1
  t decode-says-how  3 '\(truncated\): shorter than .* gard units reset --yes makes a new, empty table' decode "$rask"
  t reset-remakes     0 '^reset \(the unit-table file was too short to read: a new one was made\)$' units reset --yes
  t read-again        0 '^unit table: 0 used entries$' units list
  t fault-read        0 '1 fault'                    platform fault add UtilFile::Read@gardRask
  j failing-read      'garded;unknown garded'        'null gard file gardRask: read failed (injected fault), operation unit is-garded' units is-garded 1 1
  t fault-clear       0 '0 faults'                   platform fault clear
  : >"$W/state/root/opt/p3/gard/gardErrl"
  j stored-empty      'stored'                       null stored-errl 0x2e71
  j status-slots      'storedErrls;units'            'null []' status
  j dma-size-0        'records;marked;vpdResult'     'null null 31' sp dma-config --size 0
  t keyword-40        0 'keyword: (ab){40}$'         platform keyword 0x201 "$(printf 'ab%.0s' {1..40})"
  j do-gard-unread    'doGard;unknown doGard'        'null the keyword of 0x201 cannot be read (missing, empty or over 32 bytes; gard sp show)' sp do-gard 0x200
  j status-unread     'processors records 0 usable;failover' 'null null' status
  t keyword-back      0 'keyword: f{64}$'            platform keyword 0x201 erased
  t fault-presence    0 '1 fault'                    platform fault add SVPD_fru_status@0x201
  j presence-failed   'records 1 present;records 1 state;records 1 unknown present' 'null null the platform call SVPD_fru_status for 0x201 failed (injected fault)' sp show
  t fault-clear-2     0 '0 faults'                   platform fault clear
  "$GARD" platform reg hutl/HOMSystemType 1 >/dev/null
  j not-judged        'usableName;notDone'           'not-judged the library answers 0 without judging: the library judges only system type 0x10030000, and hutl/HOMSystemType is 0x1' sp usable 0x200
  "$GARD" platform reg hutl/HOMSystemType 0x10030000 >/dev/null
  t position-5        0 'QelPosition: 0x5'           --sp 1 platform reg dscv/QelPosition 5
  t position-dry      0 "own record as it is: sp1's position \\(registry key sp1/reg/dscv/QelPosition\\) is 5, neither 0 nor 1; gard --sp 1 platform reg dscv/QelPosition 1 sets it$" --sp 1 clear own --dry-run
  j position-clear    'rc;notDone'                   "0 this processor's own record was left alone: sp1's position (registry key sp1/reg/dscv/QelPosition) is 5, neither 0 nor 1; gard --sp 1 platform reg dscv/QelPosition 1 sets it" --sp 1 clear own --yes
  j position-failover 'failoverName'                 not-checked --sp 1 sp failover
  rm -f "$W/state/errl/committed" && mkdir "$W/state/errl/committed"
  j errl-not-file     'errlogs;unknown errlogs'      'null errl/committed cannot be read (not a regular file)' errlogs list
  j status-errl       'committedErrls'               null status
  rmdir "$W/state/errl/committed"
  touch "$W/file"
  j version-afile     'stateDir;stateDirProblem'     "$W/file/x cannot be made: $W/file is not a directory" --state "$W/file/x" version
  GARD_HOST_FAULTS='UtilFile::Read#9, # not one' j faults-env 'faults 0 fault;faults 0 source' 'UtilFile::Read#9 environment' platform fault list
  printf '# a comment\n\n' >"$W/state/faults"
  j faults-comment    'faults'                       '[]' platform fault list
  GARD_HOST_FAULTS=UtilFile::Read j fault-env-stays 'faults 0 source;notDone' 'environment GARD_HOST_FAULTS still injects 1 fault: unset it to clear them' platform fault clear
  ;;
readonly)
  # A command that only reads changes no gard file, keyword or platform
  # value, where the library would repair a record or make a gard file on
  # the way to its answer: it gives the answer and says what a command that
  # changes the state would write first.
  "$GARD" platform reg dscv/SiblingState 1 >/dev/null  # a state directory, both records still erased
  tracked() { (cd "$W/state" && find root vpd sp0 sp1 vorm mnfg faults .seeded history errl -type f -print0 2>/dev/null |
                sort -z | xargs -0 -r sha256sum); }
  unchanged() {
    local name=$1; shift; n=$((n + 1))
    tracked >"$W/before" && "$GARD" "$@" >"$W/out" 2>&1 </dev/null
    tracked | cmp -s - "$W/before" || fail "$name" "gard $* changed the state" "$(tracked | diff - "$W/before")"
  }
  for cmd in "status" "units list" "units show 1 1" "units is-garded 1 1" "sp show" "sp do-gard 0x200" \
             "sp usable 0x201" "sp failover" "sp dma-config" "stored-errl 0x2e71" "errlogs list" "history" \
             "platform policy 11" "units reset --dry-run" "clear all --dry-run"; do
    unchanged "reads-${cmd// /-}" $cmd
  done
  t says-what         0 '^  record 0x200: erased \(32 bytes of 0xff\) -> new \(0x5c\)$' status
  j says-what-json    'notWritten 0;notWritten 1' 'record 0x200: erased (32 bytes of 0xff) -> new (0x5c) record 0x201: erased (32 bytes of 0xff) -> new (0x5c)' status
  t changes-repair    0 'set 0x200 to garded'       --sp 0 sp set-state 0x200 garded
  t repaired-said     0 '^  record 0x201: erased \(32 bytes of 0xff\) -> new \(0x5c\)$' history
  # A change other processes could not learn of is not made: a counter page
  # this command cannot write (chattr +i stops root as a mode would stop
  # another user) refuses the change, naming the file and why.
  if chattr +i "$W/state/generation" 2>/dev/null; then
    t page-unwritable 1 'generation cannot be written \(Operation not permitted\), so other processes could not learn of the change' units add 0x30 1 X
    # Nor is it said on the standard output, as if it had been.
    n=$((n + 1)) && "$GARD" units add 0x31 1 Y >"$W/out" 2>/dev/null </dev/null
    [ ! -s "$W/out" ] || fail page-nothing-said "a change not made is said as made" "$(cat "$W/out")"
    chattr -i "$W/state/generation"
    t page-nothing-made 0 '^unit table: 0 used entries$' units list
  else
    skip page-unwritable "chattr +i cannot be set here (file system or rights)"
  fi
  ;;
flushes)
  # A command that changes the state makes one flush, its journal record's,
  # and a command that only reads none: counted by the host itself, each
  # flush a line of the call log.
  flushes() {
    local name=$1 want=$2 got before; shift 2; n=$((n + 1))
    before=$(grep -c '^host::flush ' "$W/state/calls.log" 2>/dev/null)
    GARD_HOST_NOSYNC=0 GARD_HOST_CALLLOG=1 "$GARD" "$@" >/dev/null 2>&1 </dev/null
    got=$(( $(grep -c '^host::flush ' "$W/state/calls.log" 2>/dev/null) - ${before:-0} ))
    [ "$got" = "$want" ] || fail "$name" "$got flushes, want $want: gard $*" "$(grep '^host::flush ' "$W/state/calls.log" | tail -n "$got")"
  }
  # The first command also makes the journal itself durable in the state directory.
  flushes first-use     2 units add 0x10 1 YL10A1
  flushes units-add     1 units add 0x11 1 YL10A2
  flushes set-state     1 units set-state 0x10 1 garded --src B1814601
  flushes sp-set-state  1 --sp 0 sp set-state 0x200 garded
  flushes sp-cleared    1 --sp 0 sp set-state 0x200 cleared
  flushes mailbox       1 --sp 1 mailbox-failure 0x100 1
  flushes reg           1 platform reg dscv/SiblingState 2
  flushes clear         1 clear units --yes
  flushes dma           1 dma-deconfig 0x42 1 1 --src B1814602
  flushes status        0 status
  flushes units-list    0 units list
  flushes history       0 history
  flushes errlogs       0 errlogs list
  flushes dry-run       0 units reset --dry-run
  ;;
exits)
  # Every exit status as documented, and with --json one object on stdout.
  t seed              0 'set-up'                     units add 1 1 A
  same reg-empty      "$W/state"                     platform reg "" 5
  j reg-empty         'error'                        'KEY: is empty: give a value (see gard platform reg --help)' platform reg "" 5
  same keyword-empty  "$W/state"                     platform keyword 0x200 ""
  j keyword-empty     'error'                        'VALUE: is empty: give a value (see gard platform keyword --help)' platform keyword 0x200 ""
  j show-empty        'error'                        'N: is empty: give a value (see gard errlogs show --help)' errlogs show ""
  j bytes-empty       'present;bytes'                'ON ' platform reg some/Key --bytes ''
  j bad-input         'error'                        'unit id 0 marks a free entry; give 1 to 0xffff' units is-garded 0 1
  j unknown-command   'error'                        "unknown command 'bogus' (see gard units --help)" units bogus
  t reset-one         2 'this would empty the unit table, removing its 1 used entry; add --yes' units reset
  j no-tty            'error'                        'this would set every unit-table entry to cleared (0xcc), error type 0 (1 used entry); add --yes to do it without a question (--dry-run shows it)' units clear
  j not-done          'notDone'                      'no error log is stored for unit 0x1234' stored-errl 0x1234
  j done              'garded'                       OFF units is-garded 1 1
  for cmd in 'units list --json' 'version' 'sp show --json'; do
    n=$((n + 1)); "$GARD" $cmd >/dev/full 2>"$W/err"; st=$?
    [ $st = 5 ] && [ "$(wc -l <"$W/err")" = 1 ] && grep -q '^gard: cannot write the output: No space left on device' "$W/err" ||
      fail "full-$cmd" "exit $st, want 5 and one line: gard $cmd >/dev/full" "$(cat "$W/err")"
  done
  ;;
history)
  t empty             0 '^0 changes, 0 error logs$' history
  "$GARD" units add 0x10 1 YL10A1 >/dev/null && "$GARD" units set-state 0x10 1 garded --error-type 2 --src B1814601 >/dev/null
  t unit-added        0 '^  unit 0x10 group 0x1: added as entry 0, serial YL10A1, new \(0x5c\)$' history
  t unit-garded       0 '^  unit 0x10 group 0x1: new \(0x5c\) -> garded \(0x5d\), error type 0x2, SRC B1814601$' history --unit 0x10
  t log-under-change  0 '^    error log #1: unit state changed: unit 0x10 group 0x1 is now garded \(0x5d\)  \[D167CA01\]$' history
  t header            0 '^20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z  sp0  #2  gard units set-state 0x10 1 garded --error-type 2 --src B1814601 \(pid [0-9]+\)$' history
  # A time given to the microsecond names that microsecond: both ends keep the change made in it.
  first=$("$GARD" history | grep -oE '^20[0-9-]{8}T[0-9:]{8}\.[0-9]{6}Z' | head -1)
  t own-microsecond   0 '^[1-9][0-9]* changes?,' history --since "${first:-none}" --until "${first:-none}"
  "$GARD" --sp 1 platform reg dscv/QelRole 1 >/dev/null && "$GARD" --sp 1 mailbox-failure 0x201 1 >/dev/null
  "$GARD" --sp 1 mailbox-failure 0x100 1 >/dev/null 2>&1
  t registry          0 '^  sp1 registry dscv/QelRole: 0 -> 1$' history --kind registry
  t record            0 '^  record 0x201: new \(0x5c\) -> garded \(0x5d\), failure word 0x010000b7' history --unit 0x201
  t refusal-alone     0 '^  error log #3: mailbox failure ignored: unit 0x100 is not a service processor' history
  t only-sp1          0 '^4 changes, 2 error logs$' --sp 1 history --kind sp-record,registry,errlog
  j record-json       'history 1 kind;history 1 items 0 fromState;history 1 items 0 toState;history 1 items 0 to failureWord;history 1 errlogs 0 reasonCode' \
                      'sp-record new garded 16777399 51713' history --unit 0x201 --kind unit,sp-record
  j command-json      'history 0 command;history 0 seq' 'gard units add 0x10 1 YL10A1 1' history
  t since-now         0 '^0 changes, 0 error logs$' history --since now
  t until-2000        0 '^0 changes' history --until 2000-01-01
  t since-2000        0 '^7 changes' history --since 2000-01-01T00:00Z --until now
  t since-hour        0 '^7 changes' history --since 1h
  t since-offset      0 '^0 changes' history --since "$(date -u -d '+1 hour' +%Y-%m-%dT%H:%M:%S)+00:30"
  t bad-time          2 "^gard: --since 'yesterday' is not a time \\(" history --since yesterday
  t bad-date          2 "--until '2026-13-01' is not a time: there is no month 13" history --until 2026-13-01
  # Times read strictly, the whole value quoted: days that do not exist,
  # fields out of range, the ends of what can be said, and relative times
  # too large to count back from now.
  while read -r name want value why; do
    re=$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"${why:+--since '$value' is not a time: $why}")
    t "time-$name" "$want" "$re" history --since "$value"
  done <<'EOF'
  bad              2 bad
  feb-31           2 2026-02-31              2026-02 has 28 days
  leap-2024        0 2024-02-29
  leap-2000        0 2000-02-29
  no-leap-2100     2 2100-02-29              2100-02 has 28 days
  day-0            2 2026-01-00              2026-01 has 31 days
  hour-24          2 2026-01-01T24:00        a time of day is 00:00:00 to 23:59:59
  second-60        2 2026-01-01T23:59:60Z    a time of day is 00:00:00 to 23:59:59
  micro-7          2 2026-01-01T00:00:00.1234567Z a fraction of a second has at most 6 digits
  point-alone      2 2026-01-01T00:00:00.Z   a fraction of a second needs a digit after the point
  offset-max       0 2026-01-01T00:00+23:59
  offset-hours     2 2026-01-01T00:00+24:00  an offset is at most 23:59
  offset-99        2 2026-01-01T00:00+99:99  an offset is at most 23:59
  offset-minutes   2 2026-01-01T00:00-00:60  an offset is at most 23:59
  trailing         2 2026-01-01Zx            'x' follows the time
  epoch            0 1970-01-01T00:00:00Z
  before-epoch     2 1969-12-31T23:59:59Z    the history starts in 1970
  offset-to-1969   2 1970-01-01T00:00+00:01  that is before 1970
  largest          0 9999-12-31T23:59:59.999999Z
  year-5-digits    2 10000-01-01             a date is YYYY-MM-DD
  zero-ago         0 0s
  days-ago         0 10000d
  weeks-past-1970  2 100000w                 that is before 1970
  wraps-early      2 99999999999999999999s   that is before 1970
  hex-ago          2 0x10m                   the year needs 4 digits
EOF
  t largest-keeps-all 0 '^0 changes' history --since '9999-12-31T23:59:59.999999Z'
  t epoch-keeps-all   0 '^7 changes' history --since 1970-01-01 --until '9999-12-31T23:59:59.999999Z'
  t unit-0            0 '^0 changes' history --unit 0
  t unit-max          0 '^0 changes' history --unit 0xffffffff
  t unit-past-max     2 "unit id '4294967296' out of range" history --unit 4294967296
  t unit-wraps-early  2 "unit id '99999999999' out of range" history --unit 99999999999
  t sp-0              0 '^3 changes, 1 error log$'  --sp 0 history
  t sp-past-max       2 "--sp '2' out of range"      --sp 2 history
  t bad-kind          2 "unknown kind 'units'"      history --kind units
  t bad-unit          2 "unit id 'x' is not a number" history --unit x
  t html              0 'history page written to .*/h.html: 10 events on 3 lanes$' history --html "$W/h.html"
  t html-one-lane     0 'history page written to .*/u.html: [0-9]+ events on 1 lane$' history --unit 0x10 --html "$W/u.html"
  n=$((n + 1)); grep -q '<script type="application/json" id="data">' "$W/h.html" && ! grep -Eq '(src|href)="?(https?:|//)' "$W/h.html" ||
    fail html-alone "the page is not self-contained" ""
  t html-unwritable   5 'cannot write .*: Is a directory' history --html "$W"
  # Nothing lands in the state directory on request, however the path is spelled.
  ln -s "$W/state" "$W/link"
  for page in "$W/state/history" "$W/state" "$W/state/" "$W/state/../state/new.html" "$W/link/new.html" "$W/state/root/x.html"; do
    same "html-inside-$page" "$W/state" history --html "$page"
    t "html-inside-$page" 2 "^gard: --html $page is inside the state directory $W/state: give a file outside it" history --html "$page"
  done
  cd "$W/state" && t html-inside-relative 2 'is inside the state directory' history --html page.html; cd "$W" || exit 2
  # A page is written beside its target and renamed into place: a link is
  # replaced, not followed, and a write that fails leaves the old page whole.
  echo old >"$W/old.html" && ln -s "$W/old.html" "$W/link.html"
  t html-over-link    0 'history page written to'   history --html "$W/link.html"
  n=$((n + 1)); [ "$(cat "$W/old.html")" = old ] && [ ! -L "$W/link.html" ] || fail html-over-link "the link was followed" ""
  cp "$W/link.html" "$W/kept.html"
  n=$((n + 1)); (trap '' XFSZ; ulimit -f 8; "$GARD" history --html "$W/link.html" >"$W/out" 2>&1; echo "exit $?" >>"$W/out")
  grep -q '^exit 5$' "$W/out" && grep -q 'cannot write .*: File too large' "$W/out" && cmp -s "$W/link.html" "$W/kept.html" &&
    [ -z "$(ls -A "$W" | grep '^\.link\.html\.')" ] || fail html-fails-whole "a failed write did not leave the old page whole" "$(cat "$W/out")"
  # Killed before its record was written, a command changed nothing; killed
  # once it was durable, its change is finished by the next command.
  (GARD_HOST_NOSYNC= GARD_HOST_CRASH_AT=opened#1 "$GARD" platform policy 11 1; true) >/dev/null 2>&1
  t killed-early      0 '^vorm/policy/11: 0x0 \(0\)$' platform policy 11
  t killed-early-none 0 '^7 changes' history
  (GARD_HOST_NOSYNC= GARD_HOST_CRASH_AT=flushed#1 "$GARD" platform policy 11 1; true) >/dev/null 2>&1
  t killed-late       0 '^  gard policy 11: permits \(0\) -> forbids \(1\)$' history
  t killed-late-made  0 '^vorm/policy/11: 0x1 \(1\)$' platform policy 11
  # Records that claim more than they hold, their checksums right: junk,
  # named once, never a crash, never memory for what they claim.
  python3 - "$W/state/history" <<'EOF'
import sys, zlib
path = sys.argv[1]
last = [l for l in open(path, 'rb').read().decode().split('\n') if l.startswith('J ')][-1]
head = last[:last.index(' C ')]
name = b'sp0/reg/dscv/SiblingState'.hex()
with open(path, 'a') as out:
    for to, diff in (('1:e8b7be43', '9223372036854775808:01:02'), ('1:e8b7be43', '4294967296:01:02'),
                     ('4294967295:00000000', '0:01:02')):
        body = '%s C name=%s from=1:a505df1b to=%s diff=%s' % (head, name, to, diff)
        out.write('%s crc=%08x\n' % (body, zlib.crc32(body.encode()) & 0xffffffff))
EOF
  t forged            0 'gard: history: .*/history: 3 lines that are no journal record' history
  printf 'junk\n' >>"$W/state/history"
  t junk              0 'gard: history: .*/history: 4 lines that are no journal record' history
  t junk-rest         0 '^8 changes' history
  t junk-json         0 '^    ".*/history: 4 lines that are no journal record \(torn, junk or claiming more than it holds; first at line 7\), passed over"$' history --json
  head -c -30 "$W/state/history" >"$W/cut" && cat "$W/cut" >"$W/state/history"
  t cut-short         0 'its last record is cut short' history
  rm "$W/state/history" && mkdir "$W/state/history"
  t not-regular       0 'gard: history: .*/history cannot be read: not a regular file' history
  t still-changes     0 'set-up'                    units add 0x11 1 YL10A2
  t moved-aside       0 '^1 change, 0 error logs$'  history
  ;;
undo)
  # Four events, each one command's call: #1 a unit, #2 garded, #3 sp1's
  # role, #4 sp1 gards itself (the records of both processors change).
  "$GARD" units add 0x10 1 YL10A1 >/dev/null && "$GARD" units set-state 0x10 1 garded --src B1814601 >/dev/null
  "$GARD" --sp 1 platform reg dscv/QelRole 1 >/dev/null && "$GARD" --sp 1 mailbox-failure 0x201 1 >/dev/null
  times=($("$GARD" history | grep -oE '^20[0-9-]{8}T[0-9:]{8}\.[0-9]{6}Z'))
  # What a restore would change, in the history's words; showing it changes nothing.
  t dry-head        0 '^dry run, nothing changed; this would put back 4 values as they were after event #1 \(20[-0-9T:.]+Z, gard units add 0x10 1 YL10A1\):$' restore --before 2 --dry-run
  t dry-unit        0 '^  unit 0x10 group 0x1: garded \(0x5d\) -> new \(0x5c\), SRC \(none\) \(was B1814601\)$' restore --before 2 --dry-run
  t dry-registry    0 '^  sp1 registry dscv/QelRole: 1 -> 0$' restore --before 2 --dry-run
  t dry-records     0 '^  record 0x201: garded \(0x5d\) -> erased \(32 bytes of 0xff\)$' restore --before 2 --dry-run
  same dry-same     "$W/state"                     restore --before 2 --dry-run
  t no-tty          2 "^gard: this would put back 4 values as they were after event #1 \(.*\); add --yes" restore --before 2
  ask declined      4 'not done: not confirmed, nothing changed' n restore --before 2
  ask restored      0 '^this restore is event #5: gard restore --before 5 undoes it' y restore --before 2
  t unit-back       0 '^  0x10 +0x1 +new \(0x5c\) ' units list
  t records-back    0 'keyword: f{64}$'              platform keyword 0x201
  t one-event       0 '^20[-0-9T:.]+Z  sp0  #5  gard restore --before 2 \(pid [0-9]+\)$' history
  t logs-stay       0 '^2 committed error logs' errlogs list
  # A restore is undone by the next: back to what #4 left.
  j undone          'restored;restoreEvent;moment event' 'ON 6 4' restore --before 5 --yes
  t garded-again    0 '^  0x10 +0x1 +garded \(0x5d\) ' units list
  t to-time         0 '^nothing to restore: every value is as it was after event #6 ' restore --to now
  t to-event-time   0 '^  sp1 registry dscv/QelRole: 1 -> 0$' restore --to "${times[1]:-none}" --dry-run
  # The net change between two moments; values back where they were are left out.
  t diff-one        0 '^  unit 0x10 group 0x1: new \(0x5c\) -> garded \(0x5d\), SRC B1814601$' diff --since-event 2 --until "${times[1]:-none}"
  t diff-since      0 '^4 values changed$'          diff --since "${times[1]:-none}"
  t diff-back       0 '^nothing changed: every value is as it was$' diff --since-event 5
  j diff-json       'since event;until event;changes 0 items 0 toState' '1 2 garded' diff --since-event 2 --until "${times[1]:-none}"
  # Moments the history does not hold: refused, the whole value quoted.
  t before-start    2 "^gard: --before '1' is before the history starts: what the state was then is not known; the history holds #1 \(20[-0-9T:.]+Z\) to #6 " restore --before 1
  t no-event        2 "^gard: --before '7': there is no event #7; the history holds #1 " restore --before 7
  t event-0         2 "^gard: --before '0' is before the history starts" restore --before 0
  t event-bad       2 "^gard: --before 'x' is not a number" restore --before x
  t to-before       2 "^gard: --to '2000-01-01' is before the history starts" restore --to 2000-01-01
  t to-bad          2 "^gard: --to '2026-02-30' is not a time: 2026-02 has 28 days" restore --to 2026-02-30
  t both            2 'give --to TIME or --before N \(one of them\)' restore --before 2 --to now
  t neither         2 'give --to TIME or --before N' restore
  t diff-before     2 "^gard: --since '2000-01-01' is before the history starts" diff --since 2000-01-01
  t diff-reversed   2 "^gard: --until '${times[0]:-none}' names an earlier moment \(after event #1\) than --since-event '3' \(after event #2\)$" diff --since-event 3 --until "${times[0]:-none}"
  t diff-neither    2 'give --since TIME or --since-event N' diff
  # A clock stepped back: #3 stamped a second before #1. A time half a
  # second before #1 names #3 all the same, the last event in the journal's
  # order stamped at or before it: #1 and #2 come with it.
  stepped=$(python3 - "$W/state/history" <<'EOF'
import sys, time, zlib
path = sys.argv[1]
lines = open(path).read().split('\n')
stamp = lambda l: int(l.split(' t=')[1].split(' ')[0])
t1 = stamp([l for l in lines if l.startswith('J seq=1 ')][0])
for i, l in enumerate(lines):
    if l.startswith('J seq=3 '):
        body = l[:l.index(' crc=')].replace(' t=%d ' % stamp(l), ' t=%d ' % (t1 - 1000000))
        lines[i] = '%s crc=%08x' % (body, zlib.crc32(body.encode()) & 0xffffffff)
open(path, 'w').write('\n'.join(lines))
t = t1 - 500000
print(time.strftime('%Y-%m-%dT%H:%M:%S', time.gmtime(t // 1000000)) + '.%06dZ' % (t % 1000000))
EOF
)
  t stepped-back    0 '^dry run, nothing changed; this would put back 2 values as they were after event #3 ' restore --to "${stepped:-none}" --dry-run
  # A restore while another holds the lock waits for it, naming the holder,
  # and works out what to change once it has it.
  n=$((n + 1)) && mkfifo "$W/release"
  flock -x "$W/state/lock" sh -c 'echo >"$1" && read -r x <"$2"' sh "$W/held" "$W/release" &
  for ((i = 0; i < 3000; i++)); do [ -e "$W/held" ] && break; sleep 0.02; done
  "$GARD" restore --before 2 --yes >"$W/waited" 2>&1 &
  for ((i = 0; i < 3000; i++)); do grep -q waiting "$W/waited" && break; sleep 0.02; done
  echo >"$W/release" && wait
  grep -q "^gard: waiting for the lock of state directory $W/state .*held by pid [0-9]* (flock -x " "$W/waited" &&
    grep -q '^this restore is event #7: ' "$W/waited" || fail lock-waited "the restore did not wait for the lock, or did not restore" "$(cat "$W/waited")"
  # Killed before its record was written, a restore changed nothing and the
  # history has no event of it; killed once it was durable, it is finished
  # by the next command and the history shows it.
  (GARD_HOST_NOSYNC= GARD_HOST_CRASH_AT=opened#1 "$GARD" restore --before 7 --yes; true) >/dev/null 2>&1
  t killed-early    0 '^  0x10 +0x1 +new \(0x5c\) ' units list
  n=$((n + 1)) && "$GARD" history | grep -q '  #8  ' && fail killed-no-event "the killed restore has an event" "$("$GARD" history)"
  (GARD_HOST_NOSYNC= GARD_HOST_CRASH_AT=flushed#1 "$GARD" restore --before 7 --yes; true) >/dev/null 2>&1
  t killed-late     0 '^  0x10 +0x1 +garded \(0x5d\) ' units list
  t killed-event    0 '^20[-0-9T:.]+Z  sp0  #8  gard restore --before 7 --yes \(pid [0-9]+\)$' history
  # Following: from now, each change once, as it comes; in JSON one event a line.
  follow history --follow
  "$GARD" units add 0x20 1 F >/dev/null && seen 'serial F'
  stop follow-text  0 '^  unit 0x20 group 0x1: added as entry [0-9]+, serial F, new \(0x5c\)$'
  n=$((n + 1)) && grep -Eq '  #[1-8]  ' "$W/follow.out" && fail follow-from-now "events from before it started were printed" "$(cat "$W/follow.out")"
  follow history --follow --json --since "${times[3]:-none}"
  "$GARD" --sp 1 mailbox-failure 0x100 1 >/dev/null 2>&1; seen '"type":"errlog"'
  stop follow-json  0 '^\{"schema":"history-event","schemaVersion":1,"type":"errlog",.*"errlog":\{"number":3,'
  n=$((n + 1)) && [ "$(grep -c '"seq":4,' "$W/follow.out")" = 3 ] || fail follow-since "the 3 changes of event #4 not printed once each from --since" "$(cat "$W/follow.out")"
  follow history --follow --kind unit
  stop follow-term  0 'following the history of .* from now' TERM
  # A content the history cannot rebuild: the unit table changed outside
  # the platform, then twice through it (#11, #12), its records no longer chain.
  poke "$rask" 5000 42
  "$GARD" units add 0x11 1 A >/dev/null && "$GARD" units add 0x12 1 B >/dev/null
  t unknown         4 "^gard: not done: the history cannot rebuild what root/opt/p3/gard/gardRask held after event #11 \(" restore --before 12 --yes
  j unknown-json    'notInHistory 0;restored'      'root/opt/p3/gard/gardRask OFF' restore --before 12 --yes
  t unknown-left    0 'left as they are: root/opt/p3/gard/gardRask' restore --before 12 --yes --leave-unknown
  t diff-unknown    0 '^  root/opt/p3/gard/gardRask: changed, but the history cannot rebuild' diff --since-event 11
  # A value changed outside the platform is put back all the same, and said.
  printf '\001' >"$W/state/vorm/policy/11"
  t outside-said    0 "^gard: restore: $W/state/vorm/policy/11 was changed outside the platform" restore --before 3 --dry-run --leave-unknown
  t follow-until    2 '^gard: --follow goes on until Ctrl-C: it takes no --until$' history --follow --until now
  t follow-html     2 '^gard: --follow prints as it goes: it writes no --html page$' history --follow --html "$W/f.html"
  # A closed pipe ends it, status 5: each change is a write until one fails.
  n=$((n + 1))
  ("$GARD" history --follow 2>"$W/pipe.err" | head -n 1 >/dev/null; echo "${PIPESTATUS[0]}" >"$W/pipe.st") &
  piped=$!
  for ((i = 0; i < 300; i++)); do kill -0 $piped 2>/dev/null || break; "$GARD" units add 0x30 1 "P$i" >/dev/null; done
  wait $piped
  [ "$(cat "$W/pipe.st")" = 5 ] && grep -q '^gard: cannot write the output' "$W/pipe.err" ||
    fail follow-pipe "exit $(cat "$W/pipe.st"), want 5 and why" "$(cat "$W/pipe.err")"
  ;;
lock)
  # An unusable lock file stops every command, nothing changed.
  t seed              0 'set-up'                     units add 0x10 1 A
  # A command kept waiting names the lock and who holds it.
  n=$((n + 1)) && mkfifo "$W/release"
  flock -x "$W/state/lock" sh -c 'echo >"$1" && read -r x <"$2"' sh "$W/held" "$W/release" &
  for ((i = 0; i < 3000; i++)); do [ -e "$W/held" ] && break; sleep 0.02; done  # polled, at most a minute
  "$GARD" units list >"$W/waited" 2>&1 &
  for ((i = 0; i < 3000; i++)); do grep -q waiting "$W/waited" && break; sleep 0.02; done
  echo >"$W/release" && wait
  grep -Eq "^gard: waiting for the lock of state directory $W/state \($W/state/lock, to use it alone\), held by pid [0-9]+ \(flock -x " "$W/waited" ||
    fail lock-named "the wait does not name the lock and its holder" "$(cat "$W/waited")"
  rm "$W/state/lock" && mkdir "$W/state/lock"
  same lock-dir-keeps "$rask"                        units add 0x11 1 B
  t lock-dir          2 'lock is not a regular file' units add 0x11 1 B
  t lock-dir-read     2 'lock is not a regular file' errlogs list
  rmdir "$W/state/lock" && mkfifo "$W/state/lock"
  t lock-pipe         2 'lock is not a regular file' units list
  rm "$W/state/lock"
  # A read-only state directory without a lock file, where a user namespace can mount one.
  printf '#!/bin/sh\nexec unshare -rm sh -c '\''mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" "$1" && shift && exec "$@"'\'' sh "%s" "%s" "$@"\n' \
    "$W/state" "$GARD" >"$W/ro" && chmod +x "$W/ro"
  if "$W/ro" --help >/dev/null 2>&1; then
    GARD=$W/ro t ro-read   0 'reading .* without its lock \(cannot create .*: Read-only file system\)' errlogs list
    GARD=$W/ro t ro-change 2 'cannot create .*lock: Read-only file system' units add 0x11 1 B
    GARD=$W/ro t ro-ask    0 'reading .* through a copy \(cannot create .*: Read-only file system\)' status
    touch "$W/state/lock"  # a state directory used before it was made read-only
    GARD=$W/ro t ro-ask-locked 0 'reading .* through a copy \(cannot be changed: Read-only file system\)' units list
    GARD=$W/ro t ro-change-locked 2 'cannot be changed: Read-only file system' units add 0x11 1 B
    # The copy for queries: no link followed, no pipe opened, bounded, gone afterwards.
    ln -s "$W" "$W/state/vorm/outside" && mkfifo "$W/state/vpd/pipe" && mkdir "$W/tmp"
    TMPDIR=$W/tmp GARD=$W/ro t ro-link 0 'leaves out .*/vorm/outside \(a symbolic link, not followed\)' units list
    TMPDIR=$W/tmp GARD=$W/ro t ro-pipe 0 'leaves out .*/vpd/pipe \(a named pipe\)' sp show
    truncate -s 65M "$W/state/vorm/big"
    TMPDIR=$W/tmp GARD=$W/ro t ro-bound 2 'holds more than 64 MiB of files \(.*/vorm/big passes it\)' units list
    rm "$W/state/vorm/outside" "$W/state/vpd/pipe" "$W/state/vorm/big"
    n=$((n + 1)); [ -z "$(ls -A "$W/tmp")" ] || fail ro-copy-gone "a copy stayed behind" "$(ls "$W/tmp")"
  else
    for row in ro-read ro-change ro-ask ro-ask-locked ro-change-locked; do skip $row "no user namespace to mount a read-only state in"; done
  fi
  t writable-again    0 'set-up'                     units add 0x11 1 B
  ;;
*) echo "unknown group $GROUP"; exit 2 ;;
esac
# Debian's python3-jsonschema (scripts/deps.sh installs it).
py=/usr/bin/python3; [ -x $py ] || py=python3
n=$((n + 1))
if ! $py -c 'import jsonschema' 2>/dev/null; then
  skip schemas "no python3-jsonschema to check the JSON outputs with"
elif ! compgen -G "$W/json/*.json" >/dev/null; then
  :
elif ! $py "$HERE/schema_check.py" "$HERE/../../tools/gard/schemas" "$W/json"/*.json >"$W/schemas" 2>&1; then
  fail schemas "JSON outputs that do not fit their schemas" "$(grep -v '^ ' "$W/schemas")"
fi
grep -h '^schemas:' "$W/schemas" 2>/dev/null
echo "$((n - bad - skipped)) passed, $skipped skipped, $bad failed"
[ $bad -eq 0 ] || exit 1
[ $skipped -eq 0 ] || exit 77
