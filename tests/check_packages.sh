#!/usr/bin/env bash
# Proves the packages that `cmake --workflow --preset package` left in
# PACKAGES as a user meets them: lintian on both .deb files, each depending on
# the engine; the amd64 one installed with dpkg, its programs, man pages and
# plug-in used from /usr, and a plug-in project built against it with no
# prefix given; then removed. The Windows .zip unpacked into an empty folder,
# the engine's DLL beside the programs, where its own plugin-check checks its
# own DLL under wine. Needs root, as dpkg does.
#
#   check_packages.sh PACKAGES
set -euo pipefail

packages=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"; dpkg -r my-physics1 >/dev/null 2>&1 || true' EXIT

debs=("$packages"/my-physics1_*_amd64.deb "$packages"/my-physics1_*_arm64.deb)
for deb in "${debs[@]}"; do
  [[ -f $deb ]] || { echo "FAIL: no package $deb"; exit 1; }
  lintian --fail-on error,warning "$deb"
  echo "ok: lintian is clean on $(basename "$deb")"
  # The host runs the engine, on every architecture.
  dpkg-deb -f "$deb" Depends | grep -q '\blibode8 (>= 2:0.16.2)' || {
    echo "FAIL: $(basename "$deb") does not depend on libode8: $(dpkg-deb -f "$deb" Depends)"
    exit 1
  }
done

# What an author reads travels with each package: the README, every page and
# every example of the tree, as in the tree; and every path under /usr that
# the pages name is in one of the packages.
mapfile -t doc_files < <(cd "$here/.." && find README.md docs examples -type f | sort)
for deb in "${debs[@]}"; do
  held=$(dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }')
  for file in "${doc_files[@]}"; do
    grep -qxF "/usr/share/doc/my-physics1/$file" <<<"$held" || {
      echo "FAIL: $(basename "$deb") does not hold /usr/share/doc/my-physics1/$file"
      exit 1
    }
  done
done
"$here/check_doc_paths.sh" "$here/.." "${debs[@]}"
echo "ok: both packages hold the README, the pages and the examples"

dpkg -i "${debs[0]}" >/dev/null
plugin-check --version
man -w plugin-check host-sim >/dev/null
# Read whole before it is searched: grep -q stops at its match, and under
# pipefail the writer it leaves behind fails the script on its closed pipe.
man_page=$(man plugin-check 2>/dev/null)
grep -q 'rows-null-after-load' <<<"$man_page" || {
  echo "FAIL: man plugin-check does not list the checks"
  exit 1
}
# Every world-file key --help lists is in the installed man page, read as
# its source so no line break or hyphen of the formatter hides one.
man_source=$(zcat -f "$(man -w host-sim)")
for key in $(host-sim --help | sed -n '/^World-file keys:/,$p' | awk '/^    [a-z]/ { print $1 }' | sort -u); do
  grep -qw -- "$key" <<<"$man_source" || {
    echo "FAIL: man host-sim does not name the world-file key '$key'"
    exit 1
  }
done
plugin_dir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/my_physics1
plugin-check --strict "$plugin_dir/my_physics1.so" >/dev/null
run=$(host-sim --steps 1)
grep -q '^\[plugin console\] not found$' <<<"$run" || {
  echo "FAIL: host-sim did not run the installed plug-in: $run"
  exit 1
}
echo "ok: the installed plugin-check passes the installed plug-in; host-sim runs it"

# An author's project finds the package, and through it the engine, in /usr
# by itself.
cmake -S "$here/package_plugin" -B "$scratch/project" -G Ninja >/dev/null
cmake --build "$scratch/project" >/dev/null
ctest --test-dir "$scratch/project" --output-on-failure >/dev/null
PKG_CONFIG_PATH='' pkg-config --exists my_physics1 my_physics1-host || {
  echo "FAIL: pkg-config does not find my_physics1 and my_physics1-host in /usr"
  exit 1
}
echo "ok: a plug-in project builds and checks itself against the installed package;" \
  "pkg-config finds the kit"
dpkg -r my-physics1 >/dev/null

zip=("$packages"/my_physics1-*-windows-x86_64.zip)
mkdir "$scratch/unpacked"
unzip -q "${zip[0]}" -d "$scratch/unpacked"
folder=$(dirname "$(find "$scratch/unpacked" -name plugin-check.exe)")
for file in my_physics1.dll host-sim.exe libode_double.dll; do
  [[ -f $folder/$file ]] || { echo "FAIL: $file is not beside plugin-check.exe"; exit 1; }
done
[[ -f $(find "$scratch/unpacked" -name LICENSE) ]] || { echo "FAIL: no LICENSE in the zip"; exit 1; }
for file in "${doc_files[@]}"; do
  [[ -f $folder/../$file ]] || { echo "FAIL: the zip does not hold $file beside bin/"; exit 1; }
done
wine=("$here/../cmake/wine.sh" --prefix "$scratch/wine")
"${wine[@]}" wineboot --init >/dev/null 2>&1  # a new prefix says so on its own
(cd "$folder" && "${wine[@]}" plugin-check.exe --strict my_physics1.dll >/dev/null)
"${wine[@]}" --wait  # let wine finish with its prefix before the folder goes
echo "ok: the unpacked zip's plugin-check passes its own DLL under wine"
