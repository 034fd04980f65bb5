#!/usr/bin/env bash
# Runs the built gard tool through a table of command lines in a fresh state
# directory. Usage: cli_test.sh GARD GROUP. Rows:
#   t NAME STATUS REGEX ARGS...  exit status and a line of stdout+stderr matching REGEX
#   j NAME PATH VALUE ARGS...    the value at PATH (members and indexes) of ARGS --json
#   same NAME FILE ARGS...       a failing command left FILE byte for byte as it was
set -u
GARD=$1 GROUP=$2 HERE=$(cd "$(dirname "$0")" && pwd)
W=$(mktemp -d) && trap 'rm -rf "$W"' EXIT
export GARD_STATE_DIR=$W/state GARD_HOST_NOSYNC=1
rask=$W/state/root/opt/p3/gard/gardRask
n=0 bad=0
fail() { bad=$((bad + 1)); echo "FAIL $GROUP/$1: $2"; printf '%s\n' "$3" | head -15 | sed 's/^/    /'; }
t() {
  local name=$1 want=$2 re=$3 out got; shift 3; n=$((n + 1))
  out=$("$GARD" "$@" 2>&1); got=$?
  [ "$got" = "$want" ] || { fail "$name" "exit $got, want $want: gard $*" "$out"; return; }
  grep -Eq -- "$re" <<<"$out" || fail "$name" "no line matches /$re/: gard $*" "$out"
}
j() {
  local name=$1 path=$2 want=$3 got; shift 3; n=$((n + 1))
  "$GARD" "$@" --json >"$W/out.json" 2>"$W/err"
  got=$(cmake -DF="$W/out.json" -DP="$path" -P "$HERE/jget.cmake")
  [ "$got" = "$want" ] || fail "$name" "$path is '$got', want '$want': gard $* --json" "$(cat "$W/err")"
}
same() {
  local name=$1 file=$2; shift 2; n=$((n + 1))
  cp "$file" "$W/before" && "$GARD" "$@" >/dev/null 2>&1
  cmp -s "$file" "$W/before" || fail "$name" "gard $* changed $file" ""
}
# Sets bytes of a file at an offset: poke FILE OFFSET HEXBYTES.
poke() { printf "$(sed 's/../\\x&/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

case $GROUP in
units)
  t add-new           0 'set-up'                     units add 0x10 1 YL10A1
  t add-again         0 'unchanged'                  units add 0x10 1 YL10A1
  t add-hex-serial    0 'set-up'                     units add 0x11 1 00ff --hex
  t set-state-src     0 'asked for garded'           units set-state 0x10 1 garded --error-type 2 --src B1814601
  t list              0 'unit 0x10 group 0x1  garded \(0x5d\)  error type 0x2  serial YL10A1  SRC B1814601' units list
  t is-garded         0 'is garded'                  units is-garded 0x10 1
  t other-group       0 'is not garded'              units is-garded 0x10 2
  j list-json         'units 1 serial' '00ff00000000000000000000' units list
  j set-state-number  'stateName' 'not-garded-2'     units set-state 0x11 1 0xec
  t not-recorded      1 'reason 0xca11 user data 0x8 0x99' units set-state 0x99 1 garded
  t file-fault        0 '1 fault'                    platform fault add UtilFile::Read@gardRask
  t list-read-fails   1 'reason 0xca07'              units list
  t read-fails-words  1 'gard file gardRask: read failed \(injected fault\), operation unit list' units list
  t fault-clear       0 '0 fault'                    platform fault clear
  same serial-too-long   "$rask" units add 0x12 1 ABCDEFGHIJKLM
  t serial-too-long   2 'longer than 12 bytes'       units add 0x12 1 ABCDEFGHIJKLM
  t unit-out-of-range 2 'out of range'               units add 0x10000 1 X
  t unit-zero         2 'free entry'                 units is-garded 0 1
  t unknown-state     2 "unknown state 'broken'"     units set-state 0x10 1 broken
  t bad-hex-serial    2 'not hex'                    units add 0x12 1 zz --hex
  t clear             0 'cleared'                    units clear
  t list-cleared      0 'unit 0x10 .*cleared \(0xcc\)  error type 0x0' units list
  t reset             0 'reset'                      units reset
  t list-empty        0 '0 used entries'             units list
  ;;
sp)
  t show              0 '0x201 present  marker 0x0c05  state new \(0x5c\)' sp show
  t gard-self         0 'result done'                sp set-state 0x200 garded --failure 0x010000b7
  j record-json       'records 0 failureWord' 16777399 sp show
  t garded            0 '0x200 is garded'            sp garded 0x200
  t do-gard           0 'do-gard 1'                  sp do-gard 0x200
  t usable            0 'garded \(2\)'               sp usable 0x200
  t failover          0 'not-usable'                 sp failover
  t not-this-sp       1 'reason 0xca11 user data 0x1 0x201 0x5d' sp set-state 0x201 garded
  t refused-ec        0 'result not-done'            sp set-state 0x200 not-garded-2
  t ungard          0 'state cleared \(0xcc\)'       sp set-state 0x200 cleared --notify off
  t dma-config        0 '0x201 present .*dma-mark'   sp dma-config
  j dma-config-small  'vpdResultName' buffer-small   sp dma-config --size 63
  t no-dma-path       0 'functional/0x201: 0x0'     platform functional 0x201 off
  t usable-no-path    0 'no-dma-path \(1\)'          sp usable 0x201
  t state-too-big     2 'out of range'               sp set-state 0x200 0x100
  t bad-notify        2 'neither on nor off'         sp set-state 0x200 new --notify maybe
  ;;
system)
  t mailbox-bad-unit  0 'reason 0xca11 .*user data 0x4 0x100 0x1 0x0' mailbox-failure 0x100 1
  t mailbox-gards     0 '0x200 present .*garded \(0x5d\)  failure word 0x060000b7' mailbox-failure 0x200 6
  u1=$("$GARD" platform unit-id 0x2e70 1 --json | grep -o '"unitId": [0-9]*' | grep -o '[0-9]*$')
  u2=$("$GARD" platform unit-id 0x2e90 2 --json | grep -o '"unitId": [0-9]*' | grep -o '[0-9]*$')
  t port1             0 '0x5 \(5\)'                  platform port "$u1" 5
  t port2             0 '0x6 \(6\)'                  platform port "$u2" 6
  t deconfig          0 'garded, gard bit set'       dma-deconfig 0x42 1 2 --error-type 2 --src B1814602
  j stored-both       'storedErrls 1 errl srcs 0 gardBit' ON dma-deconfig 0x43 1 2
  t stored-errl       0 'SRC 0: B1814602 .*gard bit' stored-errl "$u1"
  t none-stored       0 'no error log stored'        stored-errl 0x1234
  t out-word-1        0 '0x1 \(1\)'                  platform deconfig-out 1
  t not-garded        0 'not garded'                 dma-deconfig 0x42 1 2
  t deconfig-fault    0 '1 fault'                    platform fault add vormGardDeconfigDmaPath
  t deconfig-fails    1 'error log returned'         dma-deconfig 0x42 1 2
  t fault-clear       0 '0 fault'                    platform fault clear
  t clear-units       0 'clear domain 171: ok'       clear units
  t clear-own         0 'clear domain 167: ok'       clear own
  t own-cleared       0 '0x200 present .*cleared \(0xcc\)' sp show
  t clear-nothing     0 'clear domain 100: ok'       clear 100
  t clear-refused     0 'clear domain 175: failed'   --sp 1 clear all
  t bad-domain        2 "unknown domain 'some'"      clear some
  t long-src          2 'longer than 32'             dma-deconfig 1 1 2 --src 0123456789012345678901234567890123
  ;;
errlogs)
  t mailbox           0 ''                           mailbox-failure 0x100 1
  t list              0 '#1 component 0xca00 action 0x2000 \(error\) module 0x22 reason 0xca11' errlogs list
  t show              0 'SRC 0: D122CA11  module 0x22 reason 0xca11 user data 0x4 0x100 0x1 0x0' errlogs show 1
  t list-words        0 '^    mailbox failure ignored: unit 0x100 is not a service processor' errlogs list
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
  t clear             0 'cleared'                    errlogs clear
  t list-empty        0 '^0 committed'               errlogs list
  ;;
platform)
  t reg-list          0 'sp0/reg/hutl/HOMSystemType: 0x10030000' platform reg
  t reg-sp1           0 'sp1/reg/dscv/QelRole: 0x0'  --sp 1 platform reg dscv/QelRole
  t reg-set           0 'sp1/reg/dscv/QelRole: 0x1'  --sp 1 platform reg dscv/QelRole 1
  t reg-unknown-width 2 'no known width'             platform reg some/Key 1
  t reg-bytes         0 'sp0/reg/some/Key: 0102'     platform reg some/Key --bytes 0102
  t reg-remove        0 'missing'                    platform reg some/Key --remove
  t keyword-set       0 'keyword: 0c055d'            platform keyword 0x201 0c055d
  t keyword-read      0 '0x201 present .*garded \(0x5d\)' sp show
  t keyword-bad-hex   2 'odd number of hex digits'   platform keyword 0x201 0c05d
  t absent            0 'present: 0x0'               platform present 0x201 off
  t show-absent       0 '0x201 absent'               sp show
  t policy            0 'policy/11: 0x1'             platform policy 11 1
  t policy-forbids    0 'result not-done'            sp set-state 0x200 garded
  t mnfg-on           0 'mnfg/flag/2: 0x1'           platform mnfg-flag 2 on
  t mnfg-refuses      1 'reason 0x1 user data 0x2c'  units set-state 0x10 1 garded
  t mnfg-words        1 'manufacturing policy flag 2 is set, unit 0x10' units set-state 0x10 1 garded
  t mnfg-off          0 'mnfg/flag/2: missing'       platform mnfg-flag 2 off
  t fault-bad-call    2 'does not name a platform call' platform fault add 'UtilFile::Raed'
  t fault-bad-nth     2 'not a number'               platform fault add 'UtilFile::Read#x'
  t fault-nth         0 'UtilReg::read@dscv/QelRole#1' platform fault add 'UtilReg::read@dscv/QelRole#1'
  t role-unread       1 'error log returned by the' sp set-state 0x200 garded
  t fault-list        0 '1 fault'                    platform fault list
  ;;
inspect)
  "$GARD" units add 0x10 1 A >/dev/null && "$GARD" units add 0x11 1 B >/dev/null
  t live-table        0 '0 anomalies'                inspect "$rask"
  img=$W/units.img && head -c 14504 /dev/zero >"$img"
  poke "$img" 4004 0010 && poke "$img" 4008 0010 && poke "$img" 4504 00000042
  t unknown-state     3 'entry 0 .*unknown state 0x42' inspect "$img"
  t used-after-free   3 'entry 2 .* is used after free entry 1' inspect "$img"
  t pair-twice        3 'entry 2 .* records the pair of entry 0 again' inspect "$img"
  j anomalies-json    'anomalies 2' 'entry 2 (unit 0x10 group 0x0) records the pair of entry 0 again' inspect "$img"
  errl=$W/errl.img && head -c 41120 /dev/zero >"$errl"
  t empty-errl        0 '0 of 20 slots used'         inspect "$errl"
  poke "$errl" 2056 00000005 && poke "$errl" 2064 ffffffffffff
  t no-unflatten      3 'slot 1 \(unit 0x5\) does not unflatten' inspect "$errl"
  poke "$errl" 4200 01
  t dirty-free-slot   3 'free slot 2 is not all zero' inspect "$errl"
  n=$((n + 1)); GARD_STATE_DIR=$W/untouched "$GARD" inspect "$errl" >/dev/null 2>&1
  [ -e "$W/untouched" ] && fail outside-state "inspect made a state directory" ""
  t too-small         2 'needs 14504'                inspect "$HERE/cli_test.sh"
  t missing           2 'cannot read'                inspect "$W/nothing"
  ;;
story)
  # With --sp 0 a processor gards itself; --sp 1 sees it and answers failover.
  t sp0-gards-itself  0 'result done'                --sp 0 sp set-state 0x200 garded
  t sp1-sees-it       0 '0x200 is garded'            --sp 1 sp garded 0x200
  t sp1-failover      0 'sibling-down \(1\)'         --sp 1 sp failover
  t sp0-failover      0 'not-usable \(0\)'           --sp 0 sp failover
  j sp1-status-json   'failoverName' sibling-down    --sp 1 status
  t sp1-role-0        0 '0x201 present .*new \(0x5c\)' --sp 1 mailbox-failure 0x201 1
  t sp1-takes-role    0 '0x1'                        --sp 1 platform reg dscv/QelRole 1
  t sp1-gards-itself  0 '0x201 present .*garded \(0x5d\)  failure word 0x010000b7' --sp 1 mailbox-failure 0x201 1
  t rmgr-log          0 'rmgrGardBackup' platform rmgr-log
  t sp1-down-too      0 'not-usable \(0\)'           --sp 1 sp failover
  t sp0-clears-own    0 'clear domain 167: ok'       --sp 0 clear own
  t sp0-back          0 'sibling-down \(1\)'         --sp 0 sp failover
  ;;
usage)
  t no-command        2 'subcommand is required'     
  t unknown-command   2 "unknown command 'bogus'"    bogus
  t unknown-sub       2 "unknown command 'bogus' \(see gard units --help\)" units bogus
  t help              0 'Example: gard demo'         --help
  t help-glossary     0 'docs/glossary.md'           --help
  t sub-help          0 'Example: gard units add 0x10 1 YL10A1' units add --help
  t bad-sp            2 '--sp'                       --sp 2 status
  t bad-number        2 "failure type 'x' is not a number" mailbox-failure 0x200 x
  touch "$W/file"
  t state-not-dir     2 'cannot create state directory' --state "$W/file/sub" status
  [ -e "$W/file/sub" ] && fail state-not-dir "created something" ""
  t status            0 'committed error logs: 0'    status
  j status-json       'processors records 1 stateName' new status
  t demo              0 '== 5\. Gard data cleared'   demo
  j demo-json         'steps 1 status processors records 1 stateName' garded demo
  t demo-role-said    0 'sp1 now holds role 1'       demo
  j demo-step-logs    'steps 1 committed 0 reasonCode' 51713 demo
  j demo-none-at-end  'committed' '[]'               demo
  ;;
*) echo "unknown group $GROUP"; exit 2 ;;
esac
echo "$((n - bad)) passed, $bad failed"
[ $bad -eq 0 ]
