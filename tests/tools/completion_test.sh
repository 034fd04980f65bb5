#!/usr/bin/env bash
# Completes partial gard command lines through the bash completion the build
# wrote from the tool's command table. Usage: completion_test.sh GARD.BASH
# Rows: c LINE WORDS: the cursor at LINE's end (a trailing space starts a
# new word); WORDS, sorted, are what completion offers. The commands and
# options are those docs/tool.md lists.
set -u
source "$1" || { echo "FAIL: cannot source $1"; exit 1; }
n=0 bad=0
c() {
  n=$((n + 1))
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _gard
  local got; got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  [ "$got" = "$2" ] || { bad=$((bad + 1)); echo "FAIL '$1': offers '$got', want '$2'"; }
}
c 'gard un'                       'units'
c 'gard p'                        'platform'
c 'gard units s'                  'set-state show'
c 'gard units list --'            '--garded --group --help --in-state --json --sp --state'
c 'gard --sp '                    '0 1'
c 'gard --sp 1 sp f'              'failover'
c 'gard --state /tmp/gs units cl' 'clear'
c 'gard platform fault '          'add clear list'
c 'gard errlogs show --j'         '--json'
c 'gard units add 0x10 1 --h'     '--help --hex'
c 'gard sp set-state 0x200 garded --n' '--notify'
c 'gard history --u'              '--unit --until'
c 'gard history --f'              '--follow'
c 'gard restore --'               '--before --dry-run --help --json --leave-unknown --sp --state --to --yes'
c 'gard diff --s'                 '--since --since-event --sp --state'
c 'gard -- un'                    ''
echo "$((n - bad)) passed, $bad failed"
[ $bad -eq 0 ]
