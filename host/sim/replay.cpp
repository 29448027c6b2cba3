#include "sim/replay.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>

#include "programs/visible_text.hpp"

namespace tamrix_host {
namespace {

std::string number(double value) {
  if (!std::isfinite(value)) {
    return "null";  // an engine that blew up: drawn as missing, and JSON stays valid
  }
  std::array<char, 40> text{};
  std::snprintf(text.data(), text.size(), "%.10g", value);
  return text.data();
}

// `text` as a JSON string that can sit inside a <script> element: shown as
// host-sim shows any author text (controls, line separators and invalid
// UTF-8 as visible escapes), with nothing that could end the element or
// start markup.
std::string json_string(std::string_view text) {
  const std::string shown = visible(text);
  std::string out = "\"";
  for (const char c : shown) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else {
      out += c;
    }
  }
  return out + '"';
}

// "1,2,3": the numbers of an array, for a longer array to hold.
template <std::size_t N>
std::string numbers(const std::array<double, N> &values) {
  std::string out;
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) {
      out += ',';
    }
    out += number(values[i]);
  }
  return out;
}

template <std::size_t N>
std::string array(const std::array<double, N> &values) {
  return '[' + numbers(values) + ']';
}

template <typename Each, typename Write>
void list(std::ostream &out, const Each &items, Write write, const char *separator = ",") {
  out << '[';
  bool first = true;
  for (const auto &item : items) {
    out << (first ? "" : separator);
    first = false;
    write(item);
  }
  out << ']';
}

void write_piece(std::ostream &out, Shape shape, const std::array<double, 3> &size, double radius,
                 double length, const std::array<double, 3> &offset,
                 const std::array<double, 4> &orientation) {
  out << "{\"shape\":\"" << shape_name(shape) << "\",\"size\":" << array(size)
      << ",\"radius\":" << number(radius) << ",\"length\":" << number(length)
      << ",\"offset\":" << array(offset) << ",\"orientation\":" << array(orientation) << '}';
}

// A body's geometries, each a shape at an offset in the body's frame: its
// own first, then its parts.
void write_body(std::ostream &out, const std::string &name, const Engine &engine) {
  out << "{\"name\":" << json_string(name) << ",\"pieces\":[";
  const auto body = std::find_if(engine.bodies.begin(), engine.bodies.end(),
                                 [&](const EngineBody &each) { return each.name == name; });
  if (body != engine.bodies.end()) {
    write_piece(out, body->shape, body->size, body->radius, body->length, {0, 0, 0}, {1, 0, 0, 0});
    for (const EnginePart &part : body->parts) {
      out << ',';
      write_piece(out, part.shape, part.size, part.radius, part.length, part.offset,
                  part.orientation);
    }
  }
  out << "]}";
}

void write_fixed(std::ostream &out, const EngineGeometry &geometry) {
  out << "{\"name\":" << json_string(geometry.name) << ",\"shape\":\"" << shape_name(geometry.shape)
      << '"';
  if (geometry.shape == Shape::plane) {
    out << ",\"normal\":" << array(geometry.normal) << ",\"offset\":" << number(geometry.offset);
  } else if (geometry.shape == Shape::mesh) {
    out << ",\"vertices\":";
    list(out, geometry.vertices, [&](const std::array<double, 3> &v) { out << array(v); });
    out << ",\"triangles\":";
    list(out, geometry.triangles, [&](const std::array<unsigned, 3> &t) {
      out << '[' << t[0] << ',' << t[1] << ',' << t[2] << ']';
    });
  } else {
    out << ",\"size\":" << array(geometry.size) << ",\"position\":" << array(geometry.position);
  }
  out << '}';
}

// The joints, each with its bodies as indices into the bodies (-1: the
// world).
void write_joints(std::ostream &out, const Engine &engine, const BodyHistory &history) {
  const auto index = [&](const std::string &name) {
    const auto found = std::find(history.bodies.begin(), history.bodies.end(), name);
    return found == history.bodies.end() ? -1L : static_cast<long>(found - history.bodies.begin());
  };
  list(
      out, history.joints,
      [&](const std::string &name) {
        const auto joint = std::find_if(engine.joints.begin(), engine.joints.end(),
                                        [&](const EngineJoint &each) { return each.name == name; });
        out << "{\"name\":" << json_string(name);
        if (joint != engine.joints.end()) {
          out << ",\"type\":\"" << joint_type_name(joint->type)
              << "\",\"first\":" << index(joint->first) << ",\"second\":" << index(joint->second);
        }
        out << '}';
      },
      ",\n");
}

void write_data(std::ostream &out, const Engine &engine, const BodyHistory &history,
                double step_seconds) {
  out << "{\"step_seconds\":" << number(step_seconds) << ",\n\"bodies\":";
  list(
      out, history.bodies, [&](const std::string &name) { write_body(out, name, engine); }, ",\n");
  out << ",\n\"fixed\":";
  list(
      out, engine.geometries, [&](const EngineGeometry &g) { write_fixed(out, g); }, ",\n");
  out << ",\n\"joints\":";
  write_joints(out, engine, history);
  out << ",\n\"steps\":";
  list(out, history.frames, [&](const BodyFrame &frame) { out << frame.step; });
  out << ",\n\"times\":";
  list(out, history.frames, [&](const BodyFrame &frame) { out << number(frame.time); });
  // Per frame, per body: position, orientation (w, x, y, z), velocity and
  // angular velocity.
  out << ",\n\"states\":";
  list(
      out, history.frames,
      [&](const BodyFrame &frame) {
        list(out, frame.bodies, [&](const BodyState &state) {
          out << '[' << numbers(state.position) << ',' << numbers(state.orientation) << ','
              << numbers(state.velocity) << ',' << numbers(state.angular_velocity) << ']';
        });
      },
      ",\n");
  // Per frame, per joint: its anchor, and its axis where it has one.
  out << ",\n\"joint_states\":";
  list(
      out, history.frames,
      [&](const BodyFrame &frame) {
        list(out, frame.joints, [&](const JointState &state) {
          out << '[' << numbers(state.anchor) << ',' << numbers(state.axis) << ']';
        });
      },
      ",\n");
  out << '}';
}

// clang-format off
constexpr std::string_view head = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'">
<title>host-sim replay</title>
<style>
body { font-family: sans-serif; font-size: 13px; margin: 16px; }
#views { display: flex; gap: 12px; flex-wrap: wrap; }
figure { margin: 0; }
figcaption { text-align: center; margin-bottom: 4px; }
svg.view { outline: 1px solid #444; background: #fff; }
#controls { margin: 12px 0; display: flex; gap: 12px; align-items: center; }
#slider { width: 600px; }
table { border-collapse: collapse; }
td, th { padding: 2px 10px; text-align: right; border-bottom: 1px solid #ddd; }
td:first-child, th:first-child { text-align: left; }
#drawn { color: #666; }
</style>
</head>
<body>
<h1>Replay</h1>
<div id="views"></div>
<div id="controls"><button id="play" type="button">Play</button><input id="slider" type="range" min="0" max="0" value="0" step="1"><span id="when"></span></div>
<table><thead><tr><th>body</th><th>x (m)</th><th>y (m)</th><th>z (m)</th><th>roll (&deg;)</th><th>pitch (&deg;)</th><th>yaw (&deg;)</th><th>speed (m/s)</th><th>spin (rad/s)</th></tr></thead><tbody id="coordinates"></tbody></table>
<p>Drawn positions, read back from the views:</p>
<pre id="drawn"></pre>
<script type="application/json" id="world">)page";
// clang-format on

// clang-format off
// Draws the frame the slider is on; plain script, no library.
constexpr std::string_view script = R"page(</script>
<script>
"use strict";
(function () {
  const world = JSON.parse(document.getElementById("world").textContent);
  const NS = "http://www.w3.org/2000/svg";
  const SIZE = 360;
  const frames = world.steps.length;
  const slider = document.getElementById("slider");
  const play = document.getElementById("play");

  function rotate(q, v) {
    const [w, x, y, z] = q;
    const tx = 2 * (y * v[2] - z * v[1]), ty = 2 * (z * v[0] - x * v[2]), tz = 2 * (x * v[1] - y * v[0]);
    return [v[0] + w * tx + y * tz - z * ty, v[1] + w * ty + z * tx - x * tz, v[2] + w * tz + x * ty - y * tx];
  }
  function multiply(a, b) {
    return [a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
            a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
            a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
            a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]];
  }
  function ring(r, z, axes) {
    const points = [];
    for (let i = 0; i <= 24; ++i) {
      const a = i * Math.PI / 12, p = [0, 0, 0];
      p[axes[0]] = r * Math.cos(a); p[axes[1]] = r * Math.sin(a); p[axes[2]] = z;
      points.push(p);
    }
    return points;
  }
  // A shape's lines in its own frame, and the circles it shows from any side.
  function outline(piece) {
    const lines = [], circles = [];
    if (piece.shape === "box") {
      const [a, b, c] = piece.size.map(function (s) { return s / 2; });
      for (const z of [-c, c]) lines.push([[-a, -b, z], [a, -b, z], [a, b, z], [-a, b, z], [-a, -b, z]]);
      for (const [x, y] of [[-a, -b], [a, -b], [a, b], [-a, b]]) lines.push([[x, y, -c], [x, y, c]]);
    } else if (piece.shape === "sphere") {
      lines.push(ring(piece.radius, 0, [0, 1, 2]), ring(piece.radius, 0, [1, 2, 0]), ring(piece.radius, 0, [2, 0, 1]));
      circles.push([[0, 0, 0], piece.radius]);
    } else {
      const r = piece.radius, h = piece.length / 2;
      lines.push(ring(r, -h, [0, 1, 2]), ring(r, h, [0, 1, 2]));
      for (const [x, y] of [[r, 0], [0, r], [-r, 0], [0, -r]]) lines.push([[x, y, -h], [x, y, h]]);
      if (piece.shape === "capsule") {
        for (const end of [-h, h]) {
          for (const axis of [0, 1]) {
            const arc = [];
            for (let i = 0; i <= 12; ++i) {
              const a = i * Math.PI / 12, p = [0, 0, end + Math.sign(end) * r * Math.sin(a)];
              p[axis] = r * Math.cos(a);
              arc.push(p);
            }
            lines.push(arc);
          }
          circles.push([[0, 0, end], r]);
        }
      }
    }
    return { lines: lines, circles: circles };
  }
  // How far a body's geometries reach from its position.
  function reach(piece) {
    const own = piece.shape === "box" ? Math.hypot.apply(null, piece.size) / 2
      : piece.shape === "sphere" ? piece.radius
      : piece.length / 2 + piece.radius;
    return Math.hypot.apply(null, piece.offset) + own;
  }

  // One scale for every view, centred on all the run covers.
  const low = [Infinity, Infinity, Infinity], high = [-Infinity, -Infinity, -Infinity];
  function widen(p, r) {
    for (let a = 0; a < 3; ++a) {
      if (Number.isFinite(p[a])) { low[a] = Math.min(low[a], p[a] - r); high[a] = Math.max(high[a], p[a] + r); }
    }
  }
  const reaches = world.bodies.map(function (body) {
    return Math.max.apply(null, [0].concat(body.pieces.map(reach)));
  });
  for (const states of world.states) states.forEach(function (s, b) { widen(s, reaches[b]); });
  for (const g of world.fixed) {
    if (g.shape === "box") widen(g.position, Math.hypot.apply(null, g.size) / 2);
    if (g.shape === "mesh") g.vertices.forEach(function (v) { widen(v, 0); });
  }
  const centre = [0, 1, 2].map(function (a) { return Number.isFinite(low[a]) ? (low[a] + high[a]) / 2 : 0; });
  const span = 1.15 * Math.max(0.1, Math.max.apply(null, [0, 1, 2].map(function (a) {
    return Number.isFinite(low[a]) ? high[a] - low[a] : 0;
  })));
  const scale = SIZE / span;

  const views = [
    { title: "from above", u: 0, v: 1, names: ["x", "y"] },
    { title: "from the front", u: 0, v: 2, names: ["x", "z"] },
    { title: "from the side", u: 1, v: 2, names: ["y", "z"] }];
  function element(parent, name, attributes) {
    const e = document.createElementNS(NS, name);
    for (const key in attributes) e.setAttribute(key, attributes[key]);
    parent.appendChild(e);
    return e;
  }
  function px(view, p) { return SIZE / 2 + (p[view.u] - centre[view.u]) * scale; }
  function py(view, p) { return SIZE / 2 - (p[view.v] - centre[view.v]) * scale; }
  function path(view, points) {
    return points.map(function (p, i) {
      return (i === 0 ? "M" : "L") + px(view, p).toFixed(2) + " " + py(view, p).toFixed(2);
    }).join("");
  }
  const colours = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b", "#e377c2"];
  const outlines = world.bodies.map(function (body) {
    return body.pieces.map(function (piece) { return { piece: piece, shape: outline(piece) }; });
  });

  for (const view of views) {
    const figure = document.createElement("figure");
    const caption = document.createElement("figcaption");
    caption.textContent = view.title + " (" + view.names[0] + " to the right, " + view.names[1] + " up)";
    figure.appendChild(caption);
    const svg = element(figure, "svg", { class: "view", width: SIZE, height: SIZE, viewBox: "0 0 " + SIZE + " " + SIZE });
    document.getElementById("views").appendChild(figure);
    const dropped = 3 - view.u - view.v;
    for (const g of world.fixed) {
      if (g.shape === "box") {
        const h = g.size.map(function (s) { return s / 2; }), p = g.position;
        const corner = function (sign) { return [p[0] + sign * h[0], p[1] + sign * h[1], p[2] + sign * h[2]]; };
        const x0 = px(view, corner(-1)), x1 = px(view, corner(1)), y0 = py(view, corner(1)), y1 = py(view, corner(-1));
        element(svg, "rect", { x: x0, y: y0, width: x1 - x0, height: y1 - y0, fill: "#eee", stroke: "#999" });
      } else if (g.shape === "plane" && Math.abs(g.normal[dropped]) < 1e-9) {
        // Seen edge on: the line n.p = offset across the view.
        const nu = g.normal[view.u], nv = g.normal[view.v], ends = [];
        for (const t of [-1, 1]) {
          const p = centre.slice();
          if (Math.abs(nv) >= Math.abs(nu)) {
            p[view.u] = centre[view.u] + t * span;
            p[view.v] = (g.offset - nu * p[view.u]) / nv;
          } else {
            p[view.v] = centre[view.v] + t * span;
            p[view.u] = (g.offset - nv * p[view.v]) / nu;
          }
          ends.push(p);
        }
        element(svg, "path", { d: path(view, ends), stroke: "#999", "stroke-width": 3 });
      } else if (g.shape === "mesh") {
        const d = g.triangles.map(function (t) {
          return path(view, [t[0], t[1], t[2], t[0]].map(function (i) { return g.vertices[i] || [0, 0, 0]; }));
        }).join("");
        element(svg, "path", { d: d, fill: "none", stroke: "#aaa", "stroke-width": 0.8 });
      }
    }
    view.bodies = world.bodies.map(function (body, b) {
      const colour = colours[b % colours.length];
      const group = element(svg, "g", { stroke: colour, fill: "none" });
      const lines = element(group, "path", { "stroke-width": 1.2 });
      const circles = outlines[b].map(function (o) {
        return o.shape.circles.map(function () { return element(group, "circle", { "stroke-width": 1.5 }); });
      });
      const dot = element(group, "circle", { class: "centre", r: 2.5, fill: colour });
      const label = element(group, "text", { fill: colour, stroke: "none", "font-size": 11 });
      label.textContent = body.name;
      return { group: group, lines: lines, circles: circles, dot: dot, label: label };
    });
    // A joint: lines from its anchor to its bodies' centres, and its axis.
    view.joints = world.joints.map(function () {
      const group = element(svg, "g", { stroke: "#333", fill: "none" });
      return {
        group: group,
        links: element(group, "path", { "stroke-dasharray": "4 3", "stroke-width": 1 }),
        axis: element(group, "path", { "stroke-width": 2.5 }),
        anchor: element(group, "rect", { width: 5, height: 5, fill: "#333" })
      };
    });
    view.svg = svg;
  }

  const rows = world.bodies.map(function (body) {
    const row = document.getElementById("coordinates").insertRow();
    row.insertCell().textContent = body.name;
    return [1, 2, 3, 4, 5, 6, 7, 8].map(function () { return row.insertCell(); });
  });
  function degrees(q) {
    const [w, x, y, z] = q;
    const roll = Math.atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y));
    const pitch = Math.asin(Math.max(-1, Math.min(1, 2 * (w * y - z * x))));
    const yaw = Math.atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z));
    return [roll, pitch, yaw].map(function (a) { return a * 180 / Math.PI; });
  }
  function shown(value, digits) { return value === null || !Number.isFinite(value) ? "-" : value.toFixed(digits); }
  function missing(values) { return values.length === 0 || values.some(function (v) { return v === null; }); }

  function draw(frame) {
    const states = world.states[frame] || [];
    for (const view of views) {
      world.bodies.forEach(function (body, b) {
        const s = states[b] || [], drawn = view.bodies[b];
        const hidden = missing(s.slice(0, 7));
        drawn.group.setAttribute("visibility", hidden ? "hidden" : "visible");
        if (hidden) return;
        const position = s.slice(0, 3), turn = s.slice(3, 7);
        let d = "";
        outlines[b].forEach(function (o, i) {
          const q = multiply(turn, o.piece.orientation);
          const at = rotate(turn, o.piece.offset).map(function (v, a) { return v + position[a]; });
          const placed = function (p) { return rotate(q, p).map(function (v, a) { return v + at[a]; }); };
          for (const line of o.shape.lines) d += path(view, line.map(placed));
          o.shape.circles.forEach(function (c, k) {
            const p = placed(c[0]);
            drawn.circles[i][k].setAttribute("cx", px(view, p));
            drawn.circles[i][k].setAttribute("cy", py(view, p));
            drawn.circles[i][k].setAttribute("r", c[1] * scale);
          });
        });
        drawn.lines.setAttribute("d", d);
        drawn.dot.setAttribute("cx", px(view, position));
        drawn.dot.setAttribute("cy", py(view, position));
        drawn.label.setAttribute("x", px(view, position) + 5);
        drawn.label.setAttribute("y", py(view, position) - 5);
      });
    }
    drawJoints(frame);
    world.bodies.forEach(function (body, b) {
      const s = states[b] || [];
      const turn = missing(s.slice(3, 7)) ? [null, null, null] : degrees(s.slice(3, 7));
      const speed = missing(s.slice(7, 10)) ? null : Math.hypot(s[7], s[8], s[9]);
      const spin = missing(s.slice(10, 13)) ? null : Math.hypot(s[10], s[11], s[12]);
      const cells = s.slice(0, 3).concat([null, null, null]).slice(0, 3).map(function (v) { return shown(v, 4); })
        .concat(turn.map(function (v) { return shown(v, 1); }), [shown(speed, 4), shown(spin, 3)]);
      cells.forEach(function (text, i) { rows[b][i].textContent = text; });
    });
    slider.value = frame;
    document.getElementById("when").textContent = frames === 0 ? "no steps"
      : "step " + world.steps[frame] + " of " + world.steps[frames - 1] + ", " + world.times[frame].toFixed(3) + " s";
    readBack(frame);
  }

  function drawJoints(frame) {
    const states = world.states[frame] || [], joints = world.joint_states[frame] || [];
    const axisLength = 0.08 * span;
    for (const view of views) {
      world.joints.forEach(function (joint, j) {
        const drawn = view.joints[j], s = joints[j] || [];
        const anchor = s.slice(0, 3), axis = s.slice(3, 6);
        const hidden = missing(anchor);
        drawn.group.setAttribute("visibility", hidden ? "hidden" : "visible");
        if (hidden) return;
        let links = "";
        for (const b of [joint.first, joint.second]) {
          const body = b === undefined || b < 0 ? null : states[b];
          if (body && !missing(body.slice(0, 3))) links += path(view, [anchor, body.slice(0, 3)]);
        }
        drawn.links.setAttribute("d", links);
        const turns = !missing(axis) && Math.hypot(axis[0], axis[1], axis[2]) > 0;
        drawn.axis.setAttribute("d", turns ? path(view, [-1, 1].map(function (t) {
          return anchor.map(function (v, a) { return v + t * axisLength * axis[a]; });
        })) : "");
        drawn.anchor.setAttribute("x", px(view, anchor) - 2.5);
        drawn.anchor.setAttribute("y", py(view, anchor) - 2.5);
      });
    }
  }

  // Where each body's centre mark was laid out, in the world's frame: x and
  // y from above, z from the front.
  function readBack(frame) {
    const lines = ["step " + (frames === 0 ? "-" : world.steps[frame]) + " pixel " + (1 / scale)];
    const mark = function (view, b) {
      const box = view.svg.getBoundingClientRect(), dot = view.bodies[b].dot.getBoundingClientRect();
      return [dot.left + dot.width / 2 - box.left, dot.top + dot.height / 2 - box.top];
    };
    world.bodies.forEach(function (body, b) {
      if (views[0].bodies[b].group.getAttribute("visibility") === "hidden") {
        lines.push(body.name + "\t-");
        return;
      }
      const above = mark(views[0], b), front = mark(views[1], b);
      const x = (above[0] - SIZE / 2) / scale + centre[0], y = (SIZE / 2 - above[1]) / scale + centre[1];
      const z = (SIZE / 2 - front[1]) / scale + centre[2];
      lines.push(body.name + "\t" + x + "\t" + y + "\t" + z);
    });
    document.getElementById("drawn").textContent = lines.join("\n");
  }

  slider.max = Math.max(0, frames - 1);
  slider.addEventListener("input", function () { stop(); draw(Number(slider.value)); });
  let playing = null;
  function stop() {
    if (playing !== null) cancelAnimationFrame(playing);
    playing = null;
    play.textContent = "Play";
  }
  // Plays at the run's own pace, from where the slider is.
  play.addEventListener("click", function () {
    if (playing !== null) { stop(); return; }
    let frame = Number(slider.value);
    if (frame >= frames - 1) frame = 0;
    const startTime = world.times[frame], started = performance.now();
    play.textContent = "Pause";
    const tick = function (now) {
      const t = startTime + (now - started) / 1000;
      while (frame < frames - 1 && world.times[frame + 1] <= t) ++frame;
      draw(frame);
      if (frame >= frames - 1) { stop(); return; }
      playing = requestAnimationFrame(tick);
    };
    playing = requestAnimationFrame(tick);
  });
  // "#step=last" or "#step=N": the last frame at or before step N.
  function fromFragment() {
    const match = /step=(last|\d+)/.exec(location.hash);
    if (!match || frames === 0) return 0;
    if (match[1] === "last") return frames - 1;
    let frame = 0;
    while (frame < frames - 1 && world.steps[frame + 1] <= Number(match[1])) ++frame;
    return frame;
  }
  window.addEventListener("hashchange", function () { stop(); draw(fromFragment()); });
  draw(fromFragment());
})();
</script>
</body>
</html>
)page";
// clang-format on

}  // namespace

void write_replay(std::ostream &html, const Engine &engine, const BodyHistory &history,
                  double step_seconds) {
  html << head;
  write_data(html, engine, history, step_seconds);
  html << script;
}

}  // namespace tamrix_host
