#!/usr/bin/env bash
# Checks what Windows sees of the plug-in DLL before running any of it.
#
#   check_plugin_pe.sh PLUGIN [OBJDUMP]
#
# OBJDUMP is the MinGW-w64 objdump (default x86_64-w64-mingw32-objdump).
set -euo pipefail

plugin=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
failed=0

fail() {
  echo "FAIL: $*"
  failed=1
}
pass() { echo "ok: $*"; }

headers=$("$objdump" -p "$plugin")
sections=$("$objdump" -h "$plugin")

grep -q 'file format pei-x86-64' <<<"$sections" && pass "PE32+ for x86-64" ||
  fail "not a PE32+ x86-64 file"

# Each exported name with its kind, told by the section its address lies in:
# the table rows must be data, reached through the import library's DATA
# entries, and the functions code.
image_base=$((16#$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")))
declare -a section_start section_end section_code
while read -r _ name size vma _ _ _; do
  read -r flags
  [[ $name == .* ]] || continue
  start=$((16#$vma - image_base))
  section_start+=("$start")
  section_end+=($((start + 16#$size)))
  [[ $flags == *CODE* ]] && section_code+=(1) || section_code+=(0)
done < <(grep -A1 -E '^ +[0-9]+ \.' <<<"$sections" | grep -v '^--$')

kind_of() {
  local rva=$((16#$1)) i
  for i in "${!section_start[@]}"; do
    if ((rva >= section_start[i] && rva < section_end[i])); then
      ((section_code[i])) && echo function || echo data
      return
    fi
  done
  echo "outside-any-section"
}

declare -A rva_of
while read -r index rva; do
  rva_of[$index]=$rva
done < <(sed -n 's/^\t\[ *\([0-9]*\)\] +base\[ *[0-9]*\] *\([0-9a-f]*\) Export RVA$/\1 \2/p' <<<"$headers")
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' \
  <<<"$headers" | while read -r index name; do
  echo "$(kind_of "${rva_of[$index]:-0}") $name"
done | LC_ALL=C sort)
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
if [[ "$actual" == "$expected" ]]; then
  pass "exactly the 13 exported names, with their kinds"
else
  fail "exported names differ from the contract:"
  diff <(echo "$expected") <(echo "$actual") | sed -n 's/^[<>]/  &/p' || true
fi

# Only Windows itself and its C runtime: any other DLL would have to be
# shipped beside the plug-in, and a host's user would not have it.
imports=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | LC_ALL=C sort -u)
foreign=$(grep -viE '^(kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$' \
  <<<"$imports" || true)
[[ -n "$imports" && -z "$foreign" ]] &&
  pass "imports only system DLLs: $(echo $imports)" ||
  fail "imports DLLs a user may not have: $(echo $foreign)"

characteristics=$(sed -n '/^DllCharacteristics/,/^[A-Z]/p' <<<"$headers")
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  grep -qw "$flag" <<<"$characteristics" && pass "$flag" || fail "$flag is off"
done
# ASLR needs the relocations to move the image.
grep -q 'relocations stripped' <<<"$headers" && fail "relocations stripped: ASLR cannot move it" ||
  pass "relocatable"

exit "$failed"
