# shellcheck shell=bash
# Sourced by the engine scripts: the release every target uses, and how the
# Windows build reaches Debian's source package for it.
# shellcheck disable=SC2034  # read by the scripts that source this file
engine_version=0.16.2

# The scripts' one argument, PREFIX, and the stamp that marks a finished
# install there; exits the script when that install is already done.
#   engine_prefix "<what>" "$@"
engine_prefix() {
  local what=$1
  shift
  if (($# != 1)); then
    echo "usage: $0 PREFIX" >&2
    exit 2
  fi
  prefix=$1
  stamp="$prefix/tamrix-engine-$engine_version.stamp"
  if [[ -f $stamp ]]; then
    echo "engine for $what: already in $prefix"
    exit 0
  fi
}

# A deb-src entry for the archive and suite the native libode-dev comes from,
# so the Windows build compiles the very release the Linux builds link.
ensure_engine_source_entry() {
  apt-cache showsrc ode 2>/dev/null | grep -q "^Version: .*:${engine_version}-" && return 0
  local uri suite
  read -r uri suite < <(apt-cache policy libode-dev |
    awk '$1 ~ /^[0-9]+$/ && $2 ~ /:\/\// { split($3, s, "/"); print $2, s[1]; exit }')
  if [[ -z ${uri:-} ]]; then
    echo "error: no apt archive offers libode-dev; install it (apt-get install libode-dev) first" >&2
    return 1
  fi
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  {
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: $suite"
    echo "Components: main"
    [[ -f $keyring ]] && echo "Signed-By: $keyring"
  } >/etc/apt/sources.list.d/tamrix-engine-src.sources
  apt-get update -qq
}
