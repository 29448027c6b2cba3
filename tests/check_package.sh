#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a C consumer
# against the installed package, runs the installed host-sim, builds and
# checks a second plug-in with the package's plug-in functions, and builds the
# examples under examples/ and runs their tests, as an author who copied one would.
#
#   check_package.sh BUILD_DIR C_COMPILER CXX_COMPILER
set -euo pipefail

build_dir=$1
c_compiler=$2
cxx_compiler=$3
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for file in include/tamrix_physics.h include/tamrix_host/tamrix_host.hpp \
  include/tamrix_host/contract.hpp bin/host-sim bin/plugin-check; do
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

# tamrix_add_physics_plugin builds it, tamrix_add_plugin_check runs the
# installed plugin-check --strict on it.
# The plug-in flags probe the C++ compiler and apply to C too, so both come
# from the same build.
cmake -S "$here/package_plugin" -B "$prefix/plugin" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" >/dev/null
cmake --build "$prefix/plugin" >/dev/null
grep -q "$prefix/bin/plugin-check" "$prefix/plugin/CTestTestfile.cmake" || {
  echo "FAIL: the plug-in check does not run the installed plugin-check"
  exit 1
}
ctest --test-dir "$prefix/plugin" --output-on-failure >/dev/null || {
  echo "FAIL: the second plug-in does not pass plugin-check --strict:"
  ctest --test-dir "$prefix/plugin" --output-on-failure
  exit 1
}
# The examples: contact_plugin (SERVICE_TABLE, the fixture's tests, its world
# file, plugin-check) and physics_plugin (ENGINE, the fixture's engine world,
# bodies where its world file says).
for example in contact_plugin physics_plugin; do
  cmake -S "$here/../examples/$example" -B "$prefix/$example" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$c_compiler" \
    -DCMAKE_CXX_COMPILER="$cxx_compiler" >/dev/null
  cmake --build "$prefix/$example" >/dev/null
  ctest --test-dir "$prefix/$example" --no-tests=error --output-on-failure >/dev/null || {
    echo "FAIL: the example $example does not pass its own tests against the installed package:"
    ctest --test-dir "$prefix/$example" --output-on-failure
    exit 1
  }
done
echo "ok: installed package builds a consumer, a checked plug-in and both examples with their" \
  "tests; host-sim runs the installed plug-in"
