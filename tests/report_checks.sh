#!/usr/bin/env bash
# What plugin-check and host-sim show of a hostile plug-in, and what they
# refuse to write over.
#
#   report_checks.sh junit FILE -- PLUGIN-CHECK... --junit FILE PLUGIN
#       the run fails on the plug-in's text, shown escaped, and FILE parses as XML
#   report_checks.sh console -- HOST-SIM... PLUGIN
#       the plug-in's console text is escaped, and host-sim's summary is its own
#   report_checks.sh refuses KIND -- COMMAND...
#       KIND (fifo, device, directory, link-to-fifo) is made at every @OUT@ of
#       COMMAND, which must exit 2 with one line naming it, leaving it as it was
set -uo pipefail

mode=$1
shift
arg=
[[ $1 != -- ]] && arg=$1 && shift
shift

fail() {
  printf 'FAIL: %s\n' "$1"
  [[ -f ${output:-} ]] && printf -- '--- output:\n%s\n' "$(cat -v "$output")"
  exit 1
}
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
output=$scratch/output

# Every byte a line break, printable ASCII or part of valid UTF-8, and no C1
# control (U+009B starts an escape sequence on its own).
shown_safely() {
  # A Windows program ends its lines with CR LF; a CR of the plug-in's shows as \r.
  sed -i 's/\r$//' "$output"
  [[ $(LC_ALL=C tr -d '\n\040-\176\200-\377' <"$output" | wc -c) == 0 ]] ||
    fail "a control character reached the output"
  iconv -f UTF-8 -t UTF-8 "$output" >/dev/null 2>&1 || fail "invalid UTF-8 reached the output"
  ! LC_ALL=C grep -q $'\xc2[\x80-\x9f]' "$output" || fail "a C1 control reached the output"
  LC_ALL=C grep -qF '\x1b[2J\x1b]0;owned\x07' "$output" || fail "the escape sequences are not shown"
  LC_ALL=C grep -qF '\xff\xfe\xc0\xaf\xed\xa0\x80' "$output" || fail "invalid UTF-8 is not shown"
  LC_ALL=C grep -qF $'caf\xc3\xa9\\nPASS everything\\nsummary:' "$output" ||
    fail "valid UTF-8 or the line breaks are not shown as they should be"
}

case $mode in
  junit)
    command -v xmllint >/dev/null || fail "xmllint is missing: install libxml2-utils"
    rm -f "$arg"
    "$@" >"$output" 2>&1
    status=$?
    [[ $status == 1 ]] || fail "exit status $status, expected 1"
    grep -q '^FAIL whole-life-twice: .*printed "' "$output" || fail "no failure quotes the console"
    shown_safely
    ! grep -Eq '^(PASS everything|summary:)' "$output" || fail "the plug-in forged a line"
    xmllint --noout "$arg" >"$output" 2>&1 || fail "the JUnit report is not well-formed XML"
    cp "$arg" "$output"
    LC_ALL=C grep -qF '\x1b[2J' "$output" || fail "the JUnit report does not show the escapes"
    ;;
  console)
    "$@" >"$output" 2>&1
    status=$?
    [[ $status == 0 ]] || fail "exit status $status, expected 0"
    shown_safely
    [[ $(grep -c '^summary:' "$output") == 1 ]] || fail "a second line passes for the summary"
    grep -q '^\[plugin console\] .*life 1$' "$output" || fail "no console line"
    grep -q '^plugin| summary: forged in a step$' "$output" || fail "the plug-in's own output is not set apart"
    ;;
  refuses)
    place=$scratch/place
    mkdir "$place"
    target=$place/out
    case $arg in
      fifo) mkfifo "$target" ;;
      # A device node of our own where we may make one: a regression would
      # replace it. Elsewhere the system's, which only root could replace.
      device) mknod "$target" c 1 3 2>/dev/null || { ((EUID != 0)) && target=/dev/null; } ;;
      directory) mkdir "$target" ;;
      link-to-fifo) mkfifo "$place/fifo" && ln -s fifo "$target" ;;
      *) fail "unknown kind $arg" ;;
    esac
    [[ -e $target ]] || fail "cannot make a $arg here"
    before=$(ls -l "$place" "$target")
    command=("${@//@OUT@/$target}")
    timeout 20 "${command[@]}" >"$output" 2>&1
    status=$?
    [[ $status == 2 ]] || fail "exit status $status, expected 2"
    [[ $(wc -l <"$output") == 1 ]] || fail "not one line"
    grep -qF "$target: " "$output" && grep -q "not a regular file" "$output" ||
      fail "the line does not name the problem"
    [[ $(ls -l "$place" "$target") == "$before" ]] || fail "the $arg was touched"
    ;;
  *) fail "unknown mode $mode" ;;
esac
echo "ok: $mode $arg"
