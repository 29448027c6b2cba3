#!/usr/bin/env bash
# Runs host-sim over an engine world with --record and --plot, then reads both
# back with Python's own CSV reader and XML parser, as a person's tools would.
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

"$host_sim" --world "$world" --record "$scratch/run.csv" --plot "$scratch/run.svg" "$plugin" >/dev/null
python3 - "$scratch/run.csv" "$scratch/run.svg" "$bodies" "$steps" <<'PY'
import csv, sys, xml.etree.ElementTree as tree
record, plot, bodies, steps = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
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
assert len(lines) == 3 * bodies, f"{len(lines)} lines"
print(f"ok: {len(rows)} rows, {len(lines)} lines; {last['body']} ends at z = {last['z']}")
PY
