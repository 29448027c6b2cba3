#!/usr/bin/env bash
# Builds the rigid-body engine for x86-64 Windows into PREFIX, from Debian's
# source package, configured as Debian configures its own build (double
# precision, the bundled libccd), so collisions match the Linux targets.
# Debian ships no MinGW build. Skips the work when PREFIX holds a finished
# install. Usage: build_windows.sh PREFIX
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=cmake/engine/common.sh
. "$here/common.sh"
engine_prefix Windows "$@"

ensure_engine_source_entry
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -qq "ode=$(apt-cache showsrc ode | awk -v v="$engine_version" \
  '$1 == "Version:" && index($2, ":" v "-") { print $2; exit }')" >/dev/null
source_dir=$(find "$work" -maxdepth 1 -type d -name "ode-$engine_version*" | head -n 1)
if [[ -z $source_dir ]]; then
  echo "error: apt-get source ode did not give ode-$engine_version" >&2
  exit 1
fi

# The threading pool includes <Windows.h>; MinGW's header is windows.h, and
# Linux file systems tell the two apart.
mkdir -p "$work/alias"
echo '#include <windows.h>' >"$work/alias/Windows.h"

# As Debian's rules: double precision, every libccd collider but box-cylinder,
# OPCODE for trimeshes, the threading interface, -O2, and the engine's own
# argument checks kept (its CMake build drops them outside Debug, Debian's
# build keeps them). The DLL carries its C and C++ runtimes inside, as the
# kit's own programs do, so wine and a user's machine need no MinGW DLLs.
start=$SECONDS
cmake -S "$source_dir" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/../toolchain-x86_64-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE=-O2 -DCMAKE_CXX_FLAGS_RELEASE=-O2 \
  -DCMAKE_C_FLAGS="-I$work/alias -UdNODEBUG" -DCMAKE_CXX_FLAGS="-I$work/alias -UdNODEBUG" \
  -DCMAKE_SHARED_LINKER_FLAGS=-static \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=ON \
  -DODE_DOUBLE_PRECISION=ON \
  -DODE_WITH_LIBCCD=ON -DODE_WITH_LIBCCD_SYSTEM=OFF -DODE_WITH_LIBCCD_BOX_CYL=OFF \
  -DODE_WITH_DEMOS=OFF -DODE_WITH_TESTS=OFF >/dev/null
cmake --build "$work/build" -j "${ENGINE_JOBS:-1}"
rm -rf "$prefix"
cmake --install "$work/build" >/dev/null
# Whoever ships the DLL ships its licences: the engine's, libccd's, OPCODE's.
install -D -m 644 "$source_dir/debian/copyright" "$prefix/share/doc/ode/copyright"
touch "$stamp"
echo "engine for Windows: built in $((SECONDS - start)) s into $prefix"
