#!/usr/bin/env bash
# A verdict names the bytes it judged: plugin-check reads the plug-in once,
# every check loads those bytes, and a file that changes on disk during the
# run is reported, whatever changed it.
#
#   check_plugin_bytes.sh rewrite PLUGIN -- PLUGIN_CHECK...
#     PLUGIN appends to its own file when loaded.
#   check_plugin_bytes.sh swap PLUGIN OTHER -- PLUGIN_CHECK...
#     PLUGIN is sound; once the load check has passed, OTHER, a broken
#     plug-in, is renamed over it.
set -uo pipefail

mode=$1
plugin=$2
other=
[[ $mode == swap ]] && other=$3
while (($#)) && [[ $1 != -- ]]; do shift; done
shift
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cp "$plugin" "$folder/plugin.so"
read -r sha256 _ < <(sha256sum "$folder/plugin.so")
output=$folder/output
swapped=0
while IFS= read -r line; do
  printf '%s\n' "$line" >>"$output"
  if [[ $mode == swap && $swapped == 0 && $line == "PASS load" ]]; then
    cp "$other" "$folder/incoming.so" && mv -f "$folder/incoming.so" "$folder/plugin.so"
    swapped=1
  fi
done < <("$@" --strict --junit "$folder/report.xml" "$folder/plugin.so" 2>&1; echo "exit status $?")

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
expect() { grep -Eq -- "$1" "$output" || fail "no line matches $1"; }
expect "^file $folder/plugin.so sha256 $sha256\$"
expect "^FAIL file-unchanged: the file changed on disk during the run \\(sha256 $sha256 -> [0-9a-f]{64}\\); the verdict is for the bytes read at the start; leave the file as it is until the run ends\$"
expect "^exit status 1\$"
# Every check judged the sound bytes read at the start.
others=$(grep '^FAIL' "$output" | grep -v '^FAIL file-unchanged:')
[[ -z $others ]] || fail "checks judged other bytes: $others"
grep -q "<property name=\"sha256\" value=\"$sha256\"/>" "$folder/report.xml" ||
  fail "the JUnit report does not name the bytes"
grep -q '<testcase classname="plugin-check" name="file-unchanged">' "$folder/report.xml" ||
  fail "the JUnit report has no file-unchanged failure"
[[ $mode != swap || $swapped == 1 ]] || fail "the load check never passed, so nothing was swapped"
if ((failed)); then
  echo "--- output:"
  cat "$output"
fi
exit "$failed"
