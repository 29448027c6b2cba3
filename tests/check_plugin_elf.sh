#!/usr/bin/env bash
# Checks what a host sees of the plug-in file before running any of it.
#
#   check_plugin_elf.sh PLUGIN REFERENCE [--glibc-floor VERSION] [--instrumented]
#
# REFERENCE is an empty library built with the plug-in's flags. VERSION is the
# newest GLIBC symbol version the file may need (default 2.4, x86-64's floor).
# Sanitizer and coverage builds bring runtimes, constructors and symbol
# versions of their own, so --instrumented checks only what those builds
# cannot change. NM and READELF name the target's binutils when cross
# compiling.
set -euo pipefail

plugin=$1
reference=$2
shift 2
glibc_floor=2.4
instrumented=
while (($#)); do
  case $1 in
  --glibc-floor)
    [[ ${2:-} =~ ^[0-9]+\.[0-9]+$ ]] || {
      echo "check_plugin_elf.sh: --glibc-floor needs a version like 2.17, not '${2:-}'"
      exit 2
    }
    glibc_floor=$2
    shift 2
    ;;
  --instrumented)
    instrumented=$1
    shift
    ;;
  *)
    echo "check_plugin_elf.sh: unknown option '$1'"
    exit 2
    ;;
  esac
done
nm() { command "${NM:-nm}" "$@"; }
readelf() { command "${READELF:-readelf}" "$@"; }
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
  diff <(echo "$expected") <(echo "$actual") | sed -n 's/^[<>]/  &/p' || true
fi

header=$(readelf -h "$plugin")
grep -qE 'Class:[[:space:]]+ELF64' <<<"$header" && pass "ELF64" || fail "not ELF64"

dynamic=$(readelf -dW "$plugin")
segments=$(readelf -lW "$plugin")

grep -q 'GNU_RELRO' <<<"$segments" && grep -qE '\(FLAGS\).*BIND_NOW|\(BIND_NOW\)' <<<"$dynamic" &&
  pass "full RELRO" || fail "no full RELRO (GNU_RELRO and BIND_NOW)"
stack=$(awk '$1 == "GNU_STACK" { print $7 }' <<<"$segments")
[[ -n "$stack" && "$stack" != *E* ]] && pass "non-executable stack" ||
  fail "stack is executable or unmarked (flags: '${stack}')"
grep -q 'TEXTREL' <<<"$dynamic" && fail "has text relocations" || pass "no TEXTREL"
grep -qE 'STATIC_TLS' <<<"$dynamic" || grep -qE 'R_(X86_64_TPOFF|AARCH64_TLS_TPREL)' <(readelf -rW "$plugin") &&
  fail "thread-locals in the initial-exec model" || pass "no initial-exec TLS"
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
  awk -F. -v floor="$glibc_floor" 'BEGIN { split(floor, f, ".") }
    $1 > f[1] || ($1 == f[1] && $2 + 0 > f[2] + 0)' || true)
[[ -z "$too_new" ]] && pass "no GLIBC version above $glibc_floor ($(echo $versions))" ||
  fail "needs GLIBC versions above $glibc_floor: $(echo $too_new)"

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
