#!/usr/bin/env bash
# Runs host-sim over an engine world with --record, --plot and --replay, then
# reads them back with Python's own CSV reader, XML parser and JSON reader, as
# a person's tools would.
#
#   check_engine_outputs.sh HOST_SIM WORLD PLUGIN BODIES STEPS
set -euo pipefail

host_sim=$1
world=$2
plugin=$3
bodies=$4
steps=$5
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$host_sim" --world "$world" --record "$scratch/run.csv" --plot "$scratch/run.svg" \
  --replay "$scratch/run.html" "$plugin" >/dev/null
python3 - "$scratch/run.csv" "$scratch/run.svg" "$bodies" "$steps" "$scratch/run.html" <<'PY'
import csv, json, re, sys, xml.etree.ElementTree as tree
record, plot, bodies, steps = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
page = open(sys.argv[5], encoding="utf-8").read()
with open(record, newline="") as f:
    rows = list(csv.DictReader(f))
assert len(rows) == bodies * (steps + 1), f"{len(rows)} rows for {bodies} bodies, {steps} steps"
for row in rows:
    assert len(row) == 13 and None not in row, row
    for key, value in row.items():
        if key != "body":
            float(value)
last = rows[-1]
svg = tree.parse(plot).getroot()
assert svg.tag == "{http://www.w3.org/2000/svg}svg", svg.tag
lines = svg.findall(".//{http://www.w3.org/2000/svg}polyline")
# x, y, z, the speed and the angular speed, each with a line per body
assert len(lines) == 5 * bodies, f"{len(lines)} lines"
data = json.loads(re.search(r'<script type="application/json" id="world">(.*?)</script>', page, re.S).group(1))
assert [b["name"] for b in data["bodies"]] == [r["body"] for r in rows[:bodies]], data["bodies"]
assert data["steps"] == list(range(steps + 1)), data["steps"][-3:]
# The page holds the record's numbers: the last frame's positions.
for body, state in zip(rows[-bodies:], data["states"][-1]):
    assert all(abs(float(body[k]) - v) <= 1e-9 * max(1, abs(v)) for k, v in zip("xyz", state[:3])), (body, state)
print(f"ok: {len(rows)} rows, {len(lines)} lines, {len(data['steps'])} frames; {last['body']} ends at z = {last['z']}")
PY
