#!/usr/bin/env bash
# Writes the gard man page from the tool's own help texts: help2man for the
# top-level help, then every command's --help and the glossary as sections.
# Usage: manpage.sh GARD HELP2MAN VERSION GLOSSARY.md OUT
set -euo pipefail
gard=$1 help2man=$2 version=$3 glossary=$4 out=$5
inc=$(mktemp) && trap 'rm -f "$inc"' EXIT

# Command names listed under "Subcommands:" in a help text.
commands() { sed -n '/^[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:/,/^$/p' | sed -n 's/^  \([a-z][a-z0-9-]*\).*/\1/p'; }
# Text as roff that keeps its lines: no escapes, no control lines.
verbatim() { printf '.nf\n'; sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; printf '.fi\n'; }

{
  echo '[COMMANDS]'
  for c in $("$gard" --help | commands); do
    subs=$("$gard" "$c" --help | commands)
    for s in ${subs:-""}; do
      echo ".SS \"gard $c${s:+ $s}\""
      "$gard" "$c" ${s:+"$s"} --help | verbatim
    done
  done
  echo '[GLOSSARY]'
  # "- **term**: text" items, continued on indented lines, become tagged paragraphs.
  sed -n '/^- \*\*/,$p' "$glossary" | sed -e 's/`//g' -e 's/\\/\\e/g' \
    -e 's/^- \*\*\([^*]*\)\*\*:\{0,1\} *\(.*\)/.TP\n.B \1\n\2/' -e 's/\*\*\([^*]*\)\*\*/\\fB\1\\fR/g' \
    -e 's/^  //'
  echo '[SEE ALSO]'
  echo 'docs/tool.md, docs/json.md, docs/host.md and docs/glossary.md in the source tree.'
} >"$inc"

"$help2man" --no-info --no-discard-stderr --version-string="$version" \
  --name="see and change the gard records of a service-processor pair" --include="$inc" \
  --output="$out" "$gard"
