#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a C consumer
# against the installed package, runs the installed host-sim, builds and
# checks a second plug-in, one that calls sqrt, with the package's plug-in
# functions, and builds every example the package carries in its
# documentation folder and runs its tests, as an author who copied it would:
# with CMake, and the physics example with make and pkg-config too.
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
pc_dir=$(dirname "$(find "$prefix" -name my_physics1.pc -print -quit)")
docs=share/doc/my-physics1
for file in include/tamrix_physics.h include/tamrix_host/tamrix_host.hpp \
  include/tamrix_host/contract.hpp bin/host-sim bin/plugin-check \
  "${pc_dir#"$prefix"/}/my_physics1.pc" "${pc_dir#"$prefix"/}/my_physics1-host.pc" \
  "$docs/README.md" "$docs/docs/contract.md" "$docs/docs/plugin-authors.md"; do
  [[ -e "$prefix/$file" ]] || { echo "FAIL: $file was not installed"; exit 1; }
done
# Every example of the tree, whole, beside the pages that name it.
examples=()
for example in "$here"/../examples/*/; do
  example=$(basename "$example")
  diff -r "$here/../examples/$example" "$prefix/$docs/examples/$example" >/dev/null || {
    echo "FAIL: examples/$example is not installed whole in $docs/examples"
    exit 1
  }
  examples+=("$example")
done
docs=$prefix/$docs

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
# The test runs plugin-check through a script of its own, beside CTest's file.
grep -q "$prefix/bin/plugin-check" "$prefix/plugin/tiny_physics_plugin_check.cmake" || {
  echo "FAIL: the plug-in check does not run the installed plugin-check"
  exit 1
}
ctest --test-dir "$prefix/plugin" --output-on-failure >/dev/null || {
  echo "FAIL: the second plug-in does not pass plugin-check --strict:"
  ctest --test-dir "$prefix/plugin" --output-on-failure
  exit 1
}
# Its link proves something only if it calls into libm.
needs_libm() { readelf -d "$1" | grep -q 'NEEDED.*\[libm\.so'; }
needs_libm "$prefix/plugin/tiny_physics.so" || {
  echo "FAIL: tiny_physics.so does not need libm, so its link proves nothing of it"
  exit 1
}
# The examples as installed: SERVICE_TABLE, ENGINE, the fixture's tests, their
# world files, plugin-check.
for example in "${examples[@]}"; do
  cmake -S "$docs/examples/$example" -B "$prefix/$example" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$c_compiler" \
    -DCMAKE_CXX_COMPILER="$cxx_compiler" >/dev/null
  cmake --build "$prefix/$example" >/dev/null
  ctest --test-dir "$prefix/$example" --no-tests=error --output-on-failure >/dev/null || {
    echo "FAIL: $example does not pass its own tests against the installed package:"
    ctest --test-dir "$prefix/$example" --output-on-failure
    exit 1
  }
done

# Without CMake: the physics example's Makefile, through the pkg-config files
# alone, in a copy so the sources stay clean.
export PKG_CONFIG_PATH="$pc_dir"
cp -r "$docs/examples/physics_plugin" "$prefix/physics_make"
make -s -C "$prefix/physics_make" clean check CC="$c_compiler" CXX="$cxx_compiler" >"$prefix/make.log" 2>&1 || {
  echo "FAIL: the physics example does not build and pass with make and pkg-config:"
  cat "$prefix/make.log"
  exit 1
}
# The flags keep -z defs: with the engine given, any other name fails the link.
printf '#include <ode/ode.h>\nvoid not_the_engine(void);\nvoid tamrix_physics_step(void) { dInitODE(); not_the_engine(); }\n' \
  >"$prefix/undefined.c"
# shellcheck disable=SC2046  # pkg-config answers with several flags
if "$c_compiler" $(pkg-config --cflags my_physics1 ode) -o "$prefix/undefined.so" "$prefix/undefined.c" \
  $(pkg-config --libs my_physics1 ode) 2>"$prefix/undefined.log"; then
  echo "FAIL: a plug-in that needs more than the engine links with the pkg-config flags"
  exit 1
fi
grep -q not_the_engine "$prefix/undefined.log" || {
  echo "FAIL: the link failed, but not on the name outside the engine:"
  cat "$prefix/undefined.log"
  exit 1
}
# A plug-in that calls sqrt links with my_physics1's flags and libraries alone.
# shellcheck disable=SC2046  # pkg-config answers with several flags
"$c_compiler" $(pkg-config --cflags my_physics1) -DUSES_LIBM -o "$prefix/maths.so" \
  "$here/broken_plugin.c" "$(pkg-config --variable=service_table my_physics1)" \
  $(pkg-config --libs my_physics1) >"$prefix/maths.log" 2>&1 || {
  echo "FAIL: a plug-in that calls sqrt does not link with the pkg-config flags:"
  cat "$prefix/maths.log"
  exit 1
}
needs_libm "$prefix/maths.so" || { echo "FAIL: maths.so does not need libm"; exit 1; }
echo "ok: installed package builds a consumer, checked plug-ins and the examples with their tests," \
  "the physics example with make and pkg-config; host-sim runs the installed plug-in"
