#!/usr/bin/env bash
# Runs host-sim over an engine world with --record, --plot and --replay, then
# reads them back with Python's own CSV reader, XML parser and JSON reader, as
# a person's tools would. The plot must hold a point for each thing the world
# file expects, on the panel of its quantity, and, since the run met them all,
# on its body's or joint's line; every line and point stays inside its frame.
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
python3 - "$scratch/run.csv" "$scratch/run.svg" "$bodies" "$steps" "$scratch/run.html" "$world" <<'PY'
import collections, csv, json, re, sys, tomllib, xml.etree.ElementTree as tree
record, plot, bodies, steps = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
with open(sys.argv[6], "rb") as f:
    world = tomllib.load(f)
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
ns = "{http://www.w3.org/2000/svg}"

# The panels, by their labels: a frame, its lines and its expected points.
Panel = collections.namedtuple("Panel", "frame lines marks")
panels = {}
for group in svg.findall(f"{ns}g"):
    frame = group.find(f"{ns}rect")
    label = [t.text for t in group.findall(f"{ns}text") if "rotate" in t.get("transform", "")]
    if frame is None or len(label) != 1:
        continue
    box = [float(frame.get(k)) for k in ("x", "y", "width", "height")]
    lines = [(l.get("stroke"), [tuple(map(float, p.split(","))) for p in l.get("points").split()])
             for l in group.findall(f"{ns}polyline")]
    marks = []
    for mark in group.findall(f"{ns}g[@class='expected']"):
        band, point = mark.find(f"{ns}rect"), mark.find(f"{ns}circle")
        top = float(band.get("y"))
        marks.append((band.get("stroke"), float(point.get("cx")), float(point.get("cy")),
                      top, top + float(band.get("height"))))
    panels[label[0]] = Panel(box, lines, marks)
lines = [line for panel in panels.values() for line in panel.lines]

body_panels = ["x (m)", "y (m)", "z (m)", "speed (m/s)", "angular speed (rad/s)"]
turn_panels = ["roll (rad)", "pitch (rad)", "yaw (rad)"]
for label in body_panels + [p for p in turn_panels if p in panels]:
    assert label in panels, f"no panel {label!r} among {sorted(panels)}"
    assert len(panels[label].lines) == bodies, f"{label}: {len(panels[label].lines)} lines"

# Where each expectation belongs, counted from the world file.
wanted = collections.Counter()
for e in world.get("expect", {}).get("body", []):
    for key, where in (("position", body_panels[:3]), ("displacement", body_panels[:3]),
                       ("velocity", ["speed (m/s)"]), ("angular_velocity", ["angular speed (rad/s)"]),
                       ("rpy", turn_panels)):
        if key in e:
            wanted.update(where)
kinds = {j["name"]: j["type"] for j in world.get("engine", {}).get("joint", [])}
for e in world.get("expect", {}).get("joint", []):
    turns = kinds[e["name"]] in ("hinge", "universal")
    for key, where in (("angle", "joint angle (rad)"), ("position", "slider position (m)"),
                       ("rate", "joint rate (rad/s)" if turns else "slider rate (m/s)")):
        if key in e:
            wanted[where] += 1
drawn = collections.Counter({label: len(p.marks) for label, p in panels.items() if p.marks})
assert drawn == wanted, f"points drawn {dict(drawn)}, expected {dict(wanted)}"

def at(points, x):
    """The line's height at x, between the points either side of it."""
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        if x0 <= x <= x1:
            return y0 if x1 == x0 else y0 + (y1 - y0) * (x - x0) / (x1 - x0)
    return None

inside = 4  # the frame's own stroke, and a little more: a line there would be hidden
for label, (box, panel_lines, marks) in panels.items():
    left, top, right, bottom = box[0], box[1], box[0] + box[2], box[1] + box[3]
    for colour, points in panel_lines:
        for x, y in points:
            assert left + inside <= x <= right - inside and top + inside <= y <= bottom - inside, \
                f"{label}: a line's point ({x}, {y}) on or outside the frame {box}"
    for colour, x, y, high, low in marks:
        assert top + inside <= high <= y <= low <= bottom - inside, f"{label}: a point at {y}, band {high}..{low}, frame {box}"
        # A met expectation's band holds its line where it was expected.
        heights = [at(points, x) for c, points in panel_lines if c == colour]
        assert any(h is not None and high - 1 <= h <= low + 1 for h in heights), \
            f"{label}: the point at x {x} has its band {high}..{low} away from its line, at {heights}"
data = json.loads(re.search(r'<script type="application/json" id="world">(.*?)</script>', page, re.S).group(1))
assert [b["name"] for b in data["bodies"]] == [r["body"] for r in rows[:bodies]], data["bodies"]
assert data["steps"] == list(range(steps + 1)), data["steps"][-3:]
# The page holds the record's numbers: the last frame's positions.
for body, state in zip(rows[-bodies:], data["states"][-1]):
    assert all(abs(float(body[k]) - v) <= 1e-9 * max(1, abs(v)) for k, v in zip("xyz", state[:3])), (body, state)
print(f"ok: {len(rows)} rows, {len(lines)} lines, {sum(drawn.values())} points, {len(data['steps'])} frames; "
      f"{last['body']} ends at z = {last['z']}")
PY
