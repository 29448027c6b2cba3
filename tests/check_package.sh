#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a C consumer
# against the installed package, and runs the installed host-sim.
#
#   check_package.sh BUILD_DIR C_COMPILER
set -euo pipefail

build_dir=$1
c_compiler=$2
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for file in include/tamrix_physics.h bin/host-sim; do
  [[ -e "$prefix/$file" ]] || { echo "FAIL: $file was not installed"; exit 1; }
done

cmake -S "$here/package_consumer" -B "$prefix/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$c_compiler" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
"$prefix/consumer/linked_host"

# The installed host-sim finds the installed plug-in by itself.
output=$("$prefix/bin/host-sim" --steps 1)
grep -q '^\[plugin console\] not found$' <<<"$output" || {
  echo "FAIL: installed host-sim did not run the installed plug-in:"
  echo "$output"
  exit 1
}
echo "ok: installed package builds a consumer and host-sim runs the installed plug-in"
