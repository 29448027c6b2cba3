#!/usr/bin/env bash
# Unpacks Debian's AArch64 build of the rigid-body engine into PREFIX. The
# engine's packages are not multi-arch, so they cannot be installed beside the
# native ones; the cross toolchain links against the unpacked tree and qemu
# loads from it. Skips the work when PREFIX holds a finished unpack.
# Usage: fetch_arm64.sh PREFIX
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=cmake/engine/common.sh
. "$here/common.sh"
engine_prefix AArch64 "$@"

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  apt-get update -qq
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's download sandbox user must be able to write the folder.
chmod 777 "$work"
(cd "$work" && apt-get download -qq libode8:arm64 libode-dev:arm64 libccd2:arm64)
for package in "$work"/*.deb; do
  version=$(dpkg-deb -f "$package" Version)
  case "$(dpkg-deb -f "$package" Package)" in
  libode*) [[ $version == *:$engine_version-* ]] || {
    echo "error: $(basename "$package") is $version, the kit wants $engine_version" >&2
    exit 1
  } ;;
  esac
done
rm -rf "$prefix"
mkdir -p "$prefix"
for package in "$work"/*.deb; do
  dpkg-deb -x "$package" "$prefix"
done
touch "$stamp"
echo "engine for AArch64: unpacked into $prefix"
