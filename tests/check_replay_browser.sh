#!/usr/bin/env bash
# Opens host-sim's --replay page in a real browser, headless, moves its time
# slider to the end as a hand would (its value, then its input event), and
# reads back where the page drew each body against the --record of the same
# run. The page is held in a frame of a small page of the test's own, whose
# script drives the slider and copies what the page shows into its own
# document, which the browser dumps. Exits 77 (a skip) where no browser is
# installed.
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
cat >"$scratch/drive.html" <<'HTML'
<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<script>
"use strict";
function drive(frame) {
  const out = document.getElementById("drawn"), before = document.getElementById("before");
  try {
    const page = frame.contentDocument, slider = page.getElementById("slider");
    before.textContent = page.getElementById("drawn").textContent.split("\n")[0];
    slider.value = slider.max;
    slider.dispatchEvent(new Event("input", { bubbles: true }));
    document.getElementById("slider").textContent = slider.value + " of " + slider.max;
    out.textContent = page.getElementById("drawn").textContent;
  } catch (error) {
    out.textContent = "cannot drive the page: " + error;
  }
}
</script>
</head>
<body>
<iframe src="run.html" width="1400" height="1000" onload="drive(this)"></iframe>
<p id="slider"></p>
<pre id="before"></pre>
<pre id="drawn">the page never loaded</pre>
</body>
</html>
HTML
# timeout leads a process group of its own, which the browser's helpers join;
# every wait is bounded by it, and what is left of the group is ended above.
timeout -k 5 60 "$browser" --headless --no-sandbox --disable-gpu --disable-quic \
  --no-first-run --disable-background-networking --disable-component-update --disable-sync \
  --allow-file-access-from-files --user-data-dir="$scratch/profile" \
  --dump-dom "file://$scratch/drive.html" \
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
assert lines[0].startswith("step "), lines[0]
# It opened at the start, so only the slider's event can have brought it to the end.
before = re.search(r'<pre id="before">(.*?)</pre>', text, re.S).group(1)
assert before.split()[:2] == ["step", rows[0]["step"]], f"the page opened at {before!r}"
moved = re.search(r'<p id="slider">(\d+) of (\d+)</p>', text)
assert moved and moved.group(1) == moved.group(2), f"the slider is not at its end: {moved and moved.group(0)}"
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
