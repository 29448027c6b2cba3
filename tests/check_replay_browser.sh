#!/usr/bin/env bash
# Opens host-sim's --replay page in a real browser, headless, at the last
# step, and reads back where the page drew each body against the --record of
# the same run. Exits 77 (a skip) where no browser is installed.
#
#   check_replay_browser.sh HOST_SIM WORLD PLUGIN
set -euo pipefail

host_sim=$1
world=$2
plugin=$3
browser=/usr/bin/chromium
if [ ! -x "$browser" ]; then
  echo "SKIP: no $browser"
  exit 77
fi
scratch=$(mktemp -d)
browser_group=
# Only what this script started: the browser's own process group, by its id.
cleanup() {
  if [ -n "$browser_group" ]; then
    kill -KILL -- "-$browser_group" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

"$host_sim" --world "$world" --record "$scratch/run.csv" --replay "$scratch/run.html" \
  "$plugin" >/dev/null
mkdir "$scratch/profile"
# timeout leads a process group of its own, which the browser's helpers join;
# every wait is bounded by it, and what is left of the group is ended above.
timeout -k 5 60 "$browser" --headless --no-sandbox --disable-gpu --disable-quic \
  --no-first-run --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$scratch/profile" --dump-dom "file://$scratch/run.html#step=last" \
  >"$scratch/dom.html" 2>"$scratch/browser.log" &
browser_group=$!
status=0
wait "$browser_group" || status=$?
if [ "$status" -ne 0 ]; then
  echo "the browser ended with status $status" >&2
  tail -5 "$scratch/browser.log" >&2
  exit 1
fi

python3 - "$scratch/run.csv" "$scratch/dom.html" "$scratch/run.html" <<'PY'
import csv, html, re, sys
record, dom, page = sys.argv[1], sys.argv[2], sys.argv[3]
with open(record, newline="") as f:
    rows = list(csv.DictReader(f))
last_step = rows[-1]["step"]
expected = {r["body"]: [float(r[k]) for k in "xyz"] for r in rows if r["step"] == last_step}
text = open(dom, encoding="utf-8").read()
found = re.search(r'<pre id="drawn">(.*?)</pre>', text, re.S)
assert found, "the page wrote no drawn positions"
lines = html.unescape(found.group(1)).split("\n")
head = lines[0].split()
assert head[:2] == ["step", last_step], f"the page shows {lines[0]!r}, the run ended at step {last_step}"
pixel = float(head[3])
assert 0 < pixel < 0.05, f"a pixel is {pixel} m"
drawn = {}
for line in lines[1:]:
    name, *coordinates = line.split("\t")
    drawn[name] = [float(c) for c in coordinates]
assert drawn.keys() == expected.keys(), f"drawn {sorted(drawn)}, recorded {sorted(expected)}"
for name, position in expected.items():
    for axis, want, got in zip("xyz", position, drawn[name]):
        assert abs(want - got) <= pixel, f"{name}.{axis}: recorded {want}, drawn at {got}"
# Self-contained: nothing the page would fetch.
source = open(page, encoding="utf-8").read()
for outside in ("<script src", "<link", "<img", "<iframe", "url(", "fetch(", "XMLHttpRequest", "import("):
    assert outside not in source, f"the page holds {outside!r}"
print(f"ok: step {last_step}, {len(drawn)} bodies drawn within {pixel:.4g} m of the record")
PY
