#!/usr/bin/env bash
# Every relative link of README.md and docs/*.md leads somewhere: the file or
# folder it names exists inside the tree, and an #anchor names a heading of
# the page it points into, as GitHub makes heading anchors. One line per
# broken link; status 1 when any link is broken, 2 when there is nothing to
# check (so a reader that finds no links cannot pass by accident).
#
#   tests/check_links.sh SOURCE_DIR
set -euo pipefail
export LC_ALL=C

root=${1:?usage: check_links.sh SOURCE_DIR}
cd "$root" || exit 2
root=$PWD

pages=(README.md docs/*.md)
for page in "${pages[@]}"; do
  [[ -f $page ]] || { echo "check_links: no page $page under $root"; exit 2; }
done

# The anchors of a page's headings, one a line. GitHub lowercases the text,
# drops inline markup and every character but letters, digits, spaces,
# hyphens and underscores, turns spaces into hyphens, and numbers repeats
# (x, x-1, x-2). Lines inside fenced code blocks are no headings.
anchors() {
  awk '
    /^ ? ? ?(```|~~~)/ { fenced = !fenced; next }
    fenced { next }
    /^ ? ? ?#+[ \t]/ {
      text = $0
      sub(/^ *#+[ \t]+/, "", text)
      sub(/[ \t]+#+[ \t]*$/, "", text)
      while (match(text, /\[[^]]*\]\([^)]*\)/)) {
        link = substr(text, RSTART, RLENGTH)
        sub(/\]\(.*$/, "", link)
        text = substr(text, 1, RSTART - 1) substr(link, 2) substr(text, RSTART + RLENGTH)
      }
      text = tolower(text)
      gsub(/[^a-z0-9 _-]/, "", text)
      gsub(/ /, "-", text)
      slug = (text in seen) ? text "-" seen[text] : text
      seen[text]++
      print slug
    }
  ' "$1"
}

# Every link of a page as "line<TAB>target": inline links and images
# ([text](target)) and reference definitions ([name]: target), outside fenced
# code blocks and inline code.
links() {
  awk '
    /^ ? ? ?(```|~~~)/ { fenced = !fenced; next }
    fenced { next }
    {
      line = $0
      gsub(/`[^`]*`/, "", line)
      if (match(line, /^ ? ? ?\[[^]]+\]:[ \t]*[^ \t]+/)) {
        target = line
        sub(/^ ? ? ?\[[^]]+\]:[ \t]*/, "", target)
        sub(/[ \t].*$/, "", target)
        print NR "\t" target
        next
      }
      while (match(line, /\]\([^)]*\)/)) {
        target = substr(line, RSTART + 2, RLENGTH - 3)
        line = substr(line, RSTART + RLENGTH)
        sub(/^[ \t]+/, "", target)
        sub(/[ \t].*$/, "", target)  # a title after the target
        print NR "\t" target
      }
    }
  ' "$1"
}

broken=0
checked=0
complain() {
  echo "$1: $2"
  broken=1
}

for page in "${pages[@]}"; do
  while IFS=$'\t' read -r line target; do
    where="$page:$line: $target"
    target=${target#<}
    target=${target%>}
    # Links with a scheme (https:, mailto:) or to another host are not ours.
    if [[ $target =~ ^[A-Za-z][A-Za-z0-9+.-]*: || $target == //* ]]; then
      continue
    fi
    checked=$((checked + 1))
    path=${target%%#*}
    anchor=
    [[ $target == *#* ]] && anchor=${target#*#}
    if [[ -z $path ]]; then
      file=$page
    elif [[ $path == /* ]]; then
      file=${path#/}  # GitHub reads a leading slash as the top of the tree
    else
      file=$(dirname "$page")/$path
    fi
    resolved=$(realpath -m "$file")
    if [[ $resolved != "$root" && $resolved != "$root"/* ]]; then
      complain "$where" "leads out of the tree"
      continue
    fi
    if [[ ! -e $resolved ]]; then
      complain "$where" "no such file or folder"
      continue
    fi
    [[ -z $anchor ]] && continue
    if [[ ! -f $resolved || $resolved != *.md ]]; then
      complain "$where" "an anchor into something that is not a page"
      continue
    fi
    if ! anchors "$resolved" | grep -qxF -- "$anchor"; then
      complain "$where" "no heading of ${resolved#"$root"/} has the anchor #$anchor"
    fi
  done < <(links "$page")
done

if ((checked == 0)); then
  echo "check_links: found no relative link in ${pages[*]}"
  exit 2
fi
if ((broken)); then
  exit 1
fi
echo "check_links: $checked relative links in ${#pages[@]} pages all resolve"
