#!/usr/bin/env bash
# Writes the gard man page from the tool's own help texts: help2man for the
# top-level help, then every command's --help as a section; exit status,
# environment and files from the tool's guide, and the glossary.
# Usage: manpage.sh GARD HELP2MAN VERSION GLOSSARY.md TOOL.md OUT
set -euo pipefail
gard=$1 help2man=$2 version=$3 glossary=$4 guide=$5 out=$6
inc=$(mktemp) && trap 'rm -f "$inc"' EXIT

# Command names listed under "Subcommands:" in a help text.
commands() { sed -n '/^[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:/,/^$/p' | sed -n 's/^  \([a-z][a-z0-9-]*\).*/\1/p'; }
# Text as roff that keeps its lines: no escapes, no control lines.
verbatim() { printf '.nf\n'; sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; printf '.fi\n'; }
# Every command under `gard WORDS`, groups within groups, each with its help.
pages() {
  local subs s
  subs=$("$gard" "$@" --help | commands)
  if [ -z "$subs" ]; then
    echo ".SS \"gard $*\""
    "$gard" "$@" --help | verbatim
    return
  fi
  for s in $subs; do pages "$@" "$s"; done
}
# The lines of section "## NAME" of a guide.
section() { sed -n "/^## $2\$/,/^## /p" "$1" | sed '1d;$d'; }
# Markdown as roff: "- **term**: text" items (continued on indented lines) and
# "| N | text |" rows become tagged paragraphs, blank lines new paragraphs.
roff() {
  sed -e '/^|[- |]*$/d' -e '/^| Status /d' -e 's/`//g' -e 's/\\/\\e/g' -e 's/\[\([^]]*\)\]([^)]*)/\1/g' \
    -e 's/^| \([^|]*\) | \(.*\) |$/.TP\n.B \1\n\2/' \
    -e 's/^- \(\*\*[^:]*\*\*\):\{0,1\} *\(.*\)/.TP\n\1\n\2/' -e 's/\*\*\([^*]*\)\*\*/\\fB\1\\fR/g' \
    -e 's/^  //' -e 's/^$/.PP/'
}

{
  echo '[COMMANDS]'
  for c in $("$gard" --help | commands); do pages "$c"; done
  echo '[EXIT STATUS]'
  section "$guide" 'Exit status' | roff
  echo '[ENVIRONMENT]'
  section "$guide" 'Environment' | roff
  echo '[FILES]'
  section "$guide" 'Files' | roff
  echo '[GLOSSARY]'
  sed -n '/^- \*\*/,$p' "$glossary" | roff
  echo '[SEE ALSO]'
  echo 'The guides installed with the tool in share/doc/gard (beside share/man):'
  echo 'tool.md (every command), json.md (the fields of --json), host.md (the host platform),'
  echo 'glossary.md, layout.md (the gard files) and figures.md.'
} >"$inc"

"$help2man" --no-info --no-discard-stderr --version-string="$version" \
  --name="see and change the gard records of a service-processor pair" --include="$inc" \
  --output="$out" "$gard"
