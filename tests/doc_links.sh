#!/usr/bin/env bash
# Checks that every relative link in README.md and docs/*.md names a file that exists and, with
# #anchor, a heading of that file (GitHub's anchors). Usage: doc_links.sh SOURCE_DIR
set -euo pipefail
cd "$1"
export LC_ALL=C
# A file's anchors: its headings outside code blocks, lower case, spaces to hyphens, and any other
# punctuation but hyphens and underscores dropped.
anchors() { awk '/^```/ { code = !code } !code && sub(/^#+ +/, "")' "$1" | tr 'A-Z ' 'a-z-' | tr -cd 'a-z0-9_\n-'; }
broken=0
for doc in README.md docs/*.md; do
  while read -r link; do
    file=${link%%#*} anchor=${link#*#}
    target=$doc
    [[ -z $file ]] || target=$(dirname "$doc")/$file
    if [[ ! -e $target ]]; then
      echo "$doc: $link: no such file" && broken=1
    elif [[ $link == *#* ]] && ! anchors "$target" | grep -qxF -- "$anchor"; then
      echo "$doc: $link: no such heading" && broken=1
    fi
  done < <(grep -o '](\([^)]*\))' "$doc" | sed 's/^](\(.*\))$/\1/' | grep -v '^[a-z]*:' || true)
done
exit $broken
