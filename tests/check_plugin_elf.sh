#!/usr/bin/env bash
# Checks what a host sees of the plug-in file before running any of it.
#
#   check_plugin_elf.sh PLUGIN REFERENCE [--instrumented]
#
# REFERENCE is an empty library built with the plug-in's flags. Sanitizer and
# coverage builds bring runtimes, constructors and symbol versions of their
# own, so --instrumented checks only what those builds cannot change.
set -euo pipefail

plugin=$1
reference=$2
instrumented=${3:-}
failed=0

fail() {
  echo "FAIL: $*"
  failed=1
}
pass() { echo "ok: $*"; }

# Each exported name with its kind; nothing else may be exported.
expected="data dTamrixConsolePrintfProc
data dTamrixGetBodyFromDEFProc
data dTamrixGetContactJointGroupProc
data dTamrixGetGeomFromDEFProc
data dTamrixGetTimeProc
data dTamrixReceiveProc
data dTamrixSendProc
function getBody
function physics_special_init
function tamrix_physics_cleanup
function tamrix_physics_collide
function tamrix_physics_init
function tamrix_physics_step"
actual=$(nm -D --defined-only "$plugin" | awk '
  $2 ~ /^[T]$/ { print "function", $3; next }
  $2 ~ /^[BD]$/ { print "data", $3; next }
  { print "unexpected-" $2, $3 }' | LC_ALL=C sort)
if [[ "$actual" == "$expected" ]]; then
  pass "exactly the 13 exported names, with their kinds"
else
  fail "exported names differ from the contract:"
  diff <(echo "$expected") <(echo "$actual") | sed -n 's/^[<>]/  &/p'
fi

readelf -h "$plugin" | grep -qE 'Class:[[:space:]]+ELF64' && pass "ELF64" || fail "not ELF64"

dynamic=$(readelf -dW "$plugin")
segments=$(readelf -lW "$plugin")

grep -q 'GNU_RELRO' <<<"$segments" && grep -qE '\(FLAGS\).*BIND_NOW|\(BIND_NOW\)' <<<"$dynamic" &&
  pass "full RELRO" || fail "no full RELRO (GNU_RELRO and BIND_NOW)"
stack=$(awk '$1 == "GNU_STACK" { print $7 }' <<<"$segments")
[[ -n "$stack" && "$stack" != *E* ]] && pass "non-executable stack" ||
  fail "stack is executable or unmarked (flags: '${stack}')"
grep -q 'TEXTREL' <<<"$dynamic" && fail "has text relocations" || pass "no TEXTREL"
writable_exec=$(awk '$1 == "LOAD" && $7 ~ /W/ && $7 ~ /E/' <<<"$segments")
[[ -z "$writable_exec" ]] && pass "no writable and executable segment" ||
  fail "writable and executable segment: $writable_exec"

if [[ "$instrumented" == "--instrumented" ]]; then
  echo "instrumented build: NEEDED, symbol versions and load-time code not checked"
  exit "$failed"
fi

needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | tr '\n' ' ')
[[ "$needed" == "libc.so.6 " ]] && pass "NEEDED is the C library alone" ||
  fail "NEEDED is '${needed}', not just libc.so.6"

versions=$(readelf -VW "$plugin" | grep -oE 'Name: [A-Za-z_]+[0-9.]*' | sed 's/Name: //' | sort -u)
foreign=$(grep -E '^(GLIBCXX_|CXXABI_|GCC_)' <<<"$versions" || true)
[[ -z "$foreign" ]] && pass "no C++ runtime or libgcc symbol versions" ||
  fail "needs versions of other runtimes: $(echo $foreign)"
too_new=$(grep -E '^GLIBC_[0-9]' <<<"$versions" | sed 's/GLIBC_//' |
  awk -F. '$1 > 2 || ($1 == 2 && $2 + 0 > 4)' || true)
[[ -z "$too_new" ]] && pass "no GLIBC version above 2.4 ($(echo $versions))" ||
  fail "needs GLIBC versions above 2.4: $(echo $too_new)"

array_size() { readelf -dW "$1" | awk -v tag="($2)" '$2 == tag { print $3 }'; }
for tag in INIT_ARRAYSZ FINI_ARRAYSZ; do
  mine=$(array_size "$plugin" "$tag")
  theirs=$(array_size "$reference" "$tag")
  [[ "$mine" == "$theirs" ]] && pass "$tag ${mine:-absent}, as in an empty library" ||
    fail "$tag is ${mine:-absent} against ${theirs:-absent} for an empty library: code runs at load or unload"
done
grep -q 'PREINIT_ARRAY' <<<"$dynamic" && fail "has PREINIT_ARRAY" || pass "no PREINIT_ARRAY"
constructors=$(nm "$plugin" | grep -E '_GLOBAL__sub_I' || true)
[[ -z "$constructors" ]] && pass "no static constructors" || fail "static constructors: $constructors"

exit "$failed"
