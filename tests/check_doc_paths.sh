#!/usr/bin/env bash
# Every path that README.md, docs/*.md and the examples' README.md files name,
# in code, in a link or in the text, exists where it points: a path into the
# source tree (one that starts with a top-level folder of the tree, as
# `examples/physics_plugin/Makefile`) in the tree, and, when packages are
# given, a path under /usr in one of them (when the packages install into its
# folder: `/usr/lib/wine/wine64` is the system's).
# A <placeholder> or a * stands for any name. Paths of a build or an install
# (`build/default`, `lib/my_physics1/`), of the system (`/proc`) and relative
# links (tests/check_links.sh follows those) are left alone. One line per
# missing path; status 1 when any is missing, 2 when nothing was checked.
#
#   tests/check_doc_paths.sh SOURCE_DIR [PACKAGE.deb...]
set -euo pipefail
export LC_ALL=C

root=$(cd "${1:?usage: check_doc_paths.sh SOURCE_DIR [PACKAGE.deb...]}" && pwd)
shift
debs=()
for deb in "$@"; do
  [[ -f $deb ]] || { echo "check_doc_paths: no package $deb"; exit 2; }
  debs+=("$(realpath "$deb")")
done
cd "$root"
pages=(README.md docs/*.md examples/*/README.md)

# The tree's top-level folders, as the README's table of the source tree names
# them, and CI's own: a path that starts anywhere else is no path of the tree.
# shellcheck disable=SC2016  # the backticks are the table's, not a command
mapfile -t folders < <(sed -nE 's/^\| `([^`/]+)\/` \|.*/\1/p' README.md)
folders+=(.ci)
if ((${#folders[@]} < 5)); then
  echo "check_doc_paths: the README's table of the source tree names too few folders: ${folders[*]}"
  exit 2
fi

# Everything the packages hold, one path a line, folders without their slash.
package_paths=()
for deb in "${debs[@]}"; do
  mapfile -t -O "${#package_paths[@]}" package_paths < <(
    dpkg-deb -c "$deb" | awk '{ path = $6; sub(/^\./, "", path); sub(/\/$/, "", path); print path }')
done

in_packages() {
  local entry
  for entry in "${package_paths[@]}"; do
    # shellcheck disable=SC2053  # the right side is a pattern on purpose
    [[ $entry == $1 ]] && return 0
  done
  return 1
}

missing=0
checked=0
for page in "${pages[@]}"; do
  while IFS=: read -r line path; do
    while [[ $path == *[.,\;] ]]; do
      path=${path%?}  # the sentence's, not the path's
    done
    while [[ $path =~ ^(.*)\<[^\>]*\>(.*)$ ]]; do
      path="${BASH_REMATCH[1]}*${BASH_REMATCH[2]}"
    done
    if [[ $path == /usr/* ]]; then
      ((${#debs[@]})) || continue
      # A path into a folder the packages install into is theirs; one into
      # a folder of the system's own (/usr/lib/wine) is not.
      pattern=${path%/}
      parent=${pattern%/*}
      if [[ $parent == /usr ]] || ! in_packages "$parent"; then
        continue
      fi
      checked=$((checked + 1))
      in_packages "$pattern" || {
        echo "$page:$line: $path is in none of the packages"
        missing=1
      }
      continue
    fi
    first=${path%%/*}
    [[ " ${folders[*]} " == *" $first "* ]] || continue
    checked=$((checked + 1))
    compgen -G "$path" >/dev/null || {
      echo "$page:$line: $path is not in the tree"
      missing=1
    }
  done < <(grep -noE '[A-Za-z0-9_.<>*/-]*/[A-Za-z0-9_.<>*/-]*' "$page")
done

if ((checked == 0)); then
  echo "check_doc_paths: found no path to check in ${pages[*]}"
  exit 2
fi
if ((missing)); then
  exit 1
fi
echo "check_doc_paths: $checked paths named in ${#pages[@]} pages all exist"
