#include "sim/world_keys.hpp"

#include <algorithm>
#include <array>
#include <sstream>

namespace tamrix_host {
namespace {

constexpr std::string_view round = "sphere capsule cylinder";
constexpr std::string_view long_round = "capsule cylinder";

constexpr std::array keys{
    WorldKey{"", "steps", "", "steps to run (default 10)"},
    WorldKey{"", "step_seconds", "",
             "the time service answers steps completed x this (default 0.01)"},
    WorldKey{"", "bodies", "", "the bodies' DEF names (default: arm, base, wheel)"},
    WorldKey{"", "geometries", "", "the geometries' DEF names (default: arm, base, floor)"},
    WorldKey{"", "lookups", "", "names getBody is called with after init"},
    WorldKey{"", "collide", "", "pairs of geometries collided at every step (default: every pair)"},
    WorldKey{"", "message", "", "[[message]]: a message queued on a channel before a step"},
    WorldKey{"", "expect", "", "[expect]: what the run must show"},
    WorldKey{"", "engine", "",
             "[engine]: a rigid-body world in place of bodies, geometries and collide"},
    WorldKey{"message", "channel", "", "the receive channel (required)"},
    WorldKey{"message", "step", "", "queued before this step, from 1 (required)"},
    WorldKey{"message", "text", "", "the message as a string (or bytes)"},
    WorldKey{"message", "bytes", "", "the message as numbers from 0 to 255 (or text)"},
    WorldKey{"engine", "gravity", "", "m/s^2 (default [0, 0, -9.81])"},
    WorldKey{"engine", "friction", "",
             "of the host's own contacts: a number from 0, or \"infinity\" (default)"},
    WorldKey{"engine", "bounce", "", "of the host's own contacts, 0 to 1 (default 0)"},
    WorldKey{"engine", "max_contacts", "",
             "the host's own contacts per pair, 1 to 256 (default 4)"},
    WorldKey{"engine", "solver", "",
             "\"exact\" (default) or \"quick\", iterative, for large worlds"},
    WorldKey{"engine", "iterations", "",
             "the quick solver's iterations per step, 1 to 1000 (default 20)"},
    WorldKey{"engine", "body", "", "[[engine.body]]: a moving body, with a geometry of its name"},
    WorldKey{"engine", "geometry", "", "[[engine.geometry]]: a fixed geometry, with no body"},
    WorldKey{"engine", "joint", "",
             "[[engine.joint]]: a joint between two bodies, or a body and the world"},
    WorldKey{"engine.body", "name", "", "unique among bodies, parts and geometries (required)"},
    WorldKey{"engine.body", "shape", "", "box, sphere, capsule or cylinder (required)"},
    WorldKey{"engine.body", "size", "box", "the edge lengths, m (required)"},
    WorldKey{"engine.body", "radius", round, "m (required)"},
    WorldKey{"engine.body", "length", long_round, "along the body's z axis, m (required)"},
    WorldKey{"engine.body", "mass", "", "kg, above 0, shared with the parts by volume (required)"},
    WorldKey{"engine.body", "position", "", "of the body, m (required)"},
    WorldKey{"engine.body", "velocity", "", "m/s at the start (default at rest)"},
    WorldKey{"engine.body", "rpy", "", "roll, pitch, yaw about x, y, z, rad (or quaternion)"},
    WorldKey{"engine.body", "quaternion", "", "[w, x, y, z], not zero (or rpy)"},
    WorldKey{"engine.body", "angular_velocity", "", "rad/s at the start, in the world's frame"},
    WorldKey{"engine.body", "part", "", "[[engine.body.part]]: a further geometry of the body"},
    WorldKey{"engine.body.part", "name", "",
             "unique among bodies, parts and geometries (required)"},
    WorldKey{"engine.body.part", "shape", "", "box, sphere, capsule or cylinder (required)"},
    WorldKey{"engine.body.part", "size", "box", "the edge lengths, m (required)"},
    WorldKey{"engine.body.part", "radius", round, "m (required)"},
    WorldKey{"engine.body.part", "length", long_round, "along the part's z axis, m (required)"},
    WorldKey{"engine.body.part", "offset", "",
             "from the body's position, in its frame, m (required)"},
    WorldKey{"engine.body.part", "rpy", "", "turned in the body's frame, rad (or quaternion)"},
    WorldKey{"engine.body.part", "quaternion", "", "[w, x, y, z] in the body's frame (or rpy)"},
    WorldKey{"engine.geometry", "name", "", "unique among bodies, parts and geometries (required)"},
    WorldKey{"engine.geometry", "shape", "", "plane, box or mesh (required)"},
    WorldKey{"engine.geometry", "normal", "plane", "normal . p = offset; not [0, 0, 0] (required)"},
    WorldKey{"engine.geometry", "offset", "plane", "(default 0)"},
    WorldKey{"engine.geometry", "size", "box", "the edge lengths, m (required)"},
    WorldKey{"engine.geometry", "position", "box", "the centre, m (required)"},
    WorldKey{"engine.geometry", "vertices", "mesh", "the corners, [[x, y, z], ...], m (required)"},
    WorldKey{"engine.geometry", "triangles", "mesh",
             "[[a, b, c], ...], indices into vertices from 0 (required)"},
    WorldKey{"engine.joint", "name", "", "unique among the joints (required)"},
    WorldKey{"engine.joint", "type", "", "hinge, slider, ball, universal or fixed (required)"},
    WorldKey{"engine.joint", "bodies", "", "two bodies, or one tied to the world (required)"},
    WorldKey{"engine.joint", "anchor", "hinge ball universal",
             "where the joint is, in the world's frame, m (required)"},
    WorldKey{"engine.joint", "axis", "hinge slider universal",
             "in the world's frame, not [0, 0, 0] (required)"},
    WorldKey{"engine.joint", "axis2", "universal",
             "the second axis, not parallel to axis (required)"},
    WorldKey{"engine.joint", "limits", "hinge slider",
             "[low, high]: rad for a hinge, m for a slider"},
    WorldKey{"engine.joint", "motor", "hinge slider",
             "{ velocity, max_force }: rad/s or m/s, N m or N"},
    WorldKey{"engine.joint.motor", "velocity", "", "the speed the motor drives at (required)"},
    WorldKey{"engine.joint.motor", "max_force", "", "the most it pushes with, from 0 (required)"},
    WorldKey{"expect", "console", "", "every console message, formatted, in order"},
    WorldKey{"expect", "sent", "", "every send, in order: { channel, text or bytes }"},
    WorldKey{"expect", "collide", "",
             "[[expect.collide]]: the answer of every collide call of a pair"},
    WorldKey{"expect", "body", "", "[[expect.body]]: where a body is, after a step"},
    WorldKey{"expect", "joint", "", "[[expect.joint]]: where a joint is, after a step"},
    WorldKey{"expect.sent", "channel", "", "the channel sent on (required)"},
    WorldKey{"expect.sent", "text", "", "what was sent, as a string (or bytes)"},
    WorldKey{"expect.sent", "bytes", "", "what was sent, as numbers (or text)"},
    WorldKey{"expect.collide", "pair", "", "two geometries (required)"},
    WorldKey{"expect.collide", "answer", "", "what every call for the pair answered (required)"},
    WorldKey{"expect.body", "name", "", "an [[engine.body]] (required)"},
    WorldKey{"expect.body", "step", "", "after this step, from 1 (required)"},
    WorldKey{"expect.body", "position", "", "m, each coordinate within tolerance"},
    WorldKey{"expect.body", "velocity", "", "m/s, each coordinate within tolerance"},
    WorldKey{"expect.body", "displacement", "",
             "m moved from from_step to step, each within tolerance"},
    WorldKey{"expect.body", "from_step", "",
             "where displacement starts, from 0 (the start), before step"},
    WorldKey{"expect.body", "tolerance", "", "m or m/s (default 0.001)"},
    WorldKey{"expect.body", "rpy", "",
             "rad; met when the turn between the two is within angle_tolerance"},
    WorldKey{"expect.body", "angular_velocity", "",
             "rad/s, each coordinate within angle_tolerance"},
    WorldKey{"expect.body", "angle_tolerance", "", "rad or rad/s (default 0.001)"},
    WorldKey{"expect.joint", "name", "", "an [[engine.joint]] (required)"},
    WorldKey{"expect.joint", "step", "", "after this step, from 1 (required)"},
    WorldKey{"expect.joint", "angle", "", "rad from the start: a hinge, or a universal about axis"},
    WorldKey{"expect.joint", "rate", "", "rad/s or m/s: a hinge, slider or universal"},
    WorldKey{"expect.joint", "position", "", "m from the start: a slider"},
    WorldKey{"expect.joint", "tolerance", "", "(default 0.001)"},
};

bool takes(std::string_view kinds, std::string_view kind) {
  if (kinds.empty() || kind.empty()) {
    return true;
  }
  std::istringstream words{std::string(kinds)};
  std::string word;
  while (words >> word) {
    if (word == kind) {
      return true;
    }
  }
  return false;
}

std::string header(std::string_view table) {
  if (table.empty()) {
    return "the top of the file";
  }
  const bool many = table != "engine" && table != "expect" && table != "engine.joint.motor";
  return std::string(many ? "[[" : "[") + std::string(table) + (many ? "]]" : "]");
}

}  // namespace

std::span<const WorldKey> world_keys() { return keys; }

std::vector<std::string_view> keys_of(std::string_view table, std::string_view kind) {
  std::vector<std::string_view> found;
  for (const WorldKey &key : keys) {
    if (key.table == table && takes(key.kinds, kind)) {
      found.push_back(key.key);
    }
  }
  return found;
}

std::string world_keys_text() {
  std::ostringstream text;
  std::string_view table = "-";
  for (const WorldKey &key : keys) {
    if (key.table != table) {
      table = key.table;
      text << "  " << header(table) << ":\n";
    }
    std::string name(key.key);
    if (!key.kinds.empty()) {
      name.append(" (").append(key.kinds).append(")");
    }
    text << "    " << name << std::string(name.size() < 24 ? 24 - name.size() : 1, ' ') << key.what
         << '\n';
  }
  return text.str();
}

std::string world_keys_markdown() {
  std::ostringstream text;
  text << "| Table | Key | Only for | What it holds |\n| --- | --- | --- | --- |\n";
  for (const WorldKey &key : keys) {
    std::string what(key.what);
    std::string escaped;
    for (const char c : what) {
      escaped += c == '|' ? std::string("\\|") : std::string(1, c);
    }
    // Streamed piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on
    // a literal prepended to a temporary string.
    text << "| ";
    if (key.table.empty()) {
      text << "(top)";
    } else {
      text << '`' << header(key.table) << '`';
    }
    text << " | `" << key.key << "` | " << key.kinds << " | " << escaped << " |\n";
  }
  return text.str();
}

}  // namespace tamrix_host
