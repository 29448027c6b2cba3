#include "sim/world_file.hpp"

#include <toml++/toml.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "programs/join.hpp"
#include "sim/world_keys.hpp"

namespace tamrix_host {
namespace {

constexpr long int_min = std::numeric_limits<int>::min();
constexpr long int_max = std::numeric_limits<int>::max();

// A problem found in the file, already worded with its place.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)) {}

  [[noreturn]] void refuse(const toml::source_region &where, const std::string &reason) const {
    throw Refusal(place(where) + ": " + reason);
  }

  [[nodiscard]] std::string place(const toml::source_region &where) const {
    return path_ + ":" + std::to_string(where.begin.line) + ":" +
           std::to_string(where.begin.column);
  }

  // Refuses any key of `table` that `known` does not list.
  void only_keys(const toml::table &table, const std::string &prefix,
                 const std::vector<std::string_view> &known) const {
    for (const auto &[key, value] : table) {
      if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
        std::string reason = "unknown key '";
        reason.append(prefix).append(key.str()).append("'; the keys here are ");
        reason.append(tamrix_host::join(known, ", "));
        refuse(key.source(), reason);
      }
    }
  }

  long integer(const toml::node &node, const std::string &key, long low, long high) const {
    const auto *value = node.as_integer();
    if (value == nullptr || value->get() < low || value->get() > high) {
      refuse(node.source(), "'" + key + "' must be a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high) + described(node));
    }
    return static_cast<long>(value->get());
  }

  std::string string(const toml::node &node, const std::string &key) const {
    const auto *value = node.as_string();
    if (value == nullptr) {
      refuse(node.source(), "'" + key + "' must be a string" + described(node));
    }
    return value->get();
  }

  const toml::array &array(const toml::node &node, const std::string &key, const char *of) const {
    const auto *value = node.as_array();
    if (value == nullptr) {
      refuse(node.source(), "'" + key + "' must be an array of " + of + described(node));
    }
    return *value;
  }

  const toml::table &table(const toml::node &node, const std::string &key) const {
    const auto *value = node.as_table();
    if (value == nullptr) {
      refuse(node.source(), "'" + key + "' must be a table" + described(node));
    }
    return *value;
  }

  std::vector<std::string> strings(const toml::node &node, const std::string &key) const {
    std::vector<std::string> values;
    for (const toml::node &item : array(node, key, "strings")) {
      values.push_back(string(item, key + "[" + std::to_string(values.size() + 1) + "]"));
    }
    return values;
  }

  GeometryPair pair(const toml::node &node, const std::string &key) const {
    const std::vector<std::string> names = strings(node, key);
    if (names.size() != 2) {
      refuse(node.source(), "'" + key + "' must name two geometries, as [\"floor\", \"arm\"]");
    }
    return {names[0], names[1]};
  }

  // A message's bytes: exactly one of text = "..." or bytes = [...].
  std::vector<unsigned char> bytes(const toml::table &message, const std::string &key) const {
    const toml::node *text = message.get("text");
    const toml::node *list = message.get("bytes");
    if ((text == nullptr) == (list == nullptr)) {
      refuse(message.source(), "'" + key + "' needs exactly one of 'text' and 'bytes'");
    }
    if (text != nullptr) {
      const std::string value = string(*text, key + ".text");
      return {value.begin(), value.end()};
    }
    std::vector<unsigned char> values;
    for (const toml::node &item : array(*list, key + ".bytes", "numbers from 0 to 255")) {
      values.push_back(static_cast<unsigned char>(
          integer(item, key + ".bytes[" + std::to_string(values.size() + 1) + "]", 0, 255)));
    }
    return values;
  }

  // Any number, whole or not, from `low` to `high`.
  double number(const toml::node &node, const std::string &key, double low, double high,
                const char *what = "a number") const {
    const std::optional<double> value = node.value<double>();
    if (!value || !std::isfinite(*value) || *value < low || *value > high) {
      refuse(node.source(), "'" + key + "' must be " + what + described(node));
    }
    return *value;
  }

  std::array<double, 3> vector3(const toml::node &node, const std::string &key, double low = -huge,
                                const char *what = "three numbers") const {
    const toml::array &items = array(node, key, "three numbers");
    if (items.size() != 3) {
      refuse(node.source(), "'" + key + "' must be " + what + ", as [0, 0, 1]");
    }
    std::array<double, 3> values{};
    for (std::size_t i = 0; i < 3; ++i) {
      values[i] = number(*items.get(i), key + "[" + std::to_string(i + 1) + "]", low, huge, what);
    }
    return values;
  }

  const toml::node &required(const toml::table &table, const std::string &prefix,
                             const char *key) const {
    const toml::node *node = table.get(key);
    if (node == nullptr) {
      const bool vowel = std::string_view("aeiou").find(key[0]) != std::string_view::npos;
      refuse(table.source(), "'" + prefix + "' needs " + (vowel ? "an '" : "a '") + key + "'");
    }
    return *node;
  }

  static constexpr double huge = std::numeric_limits<double>::max();

  static std::string described(const toml::node &node) {
    std::ostringstream text;
    text << ", not " << node.type();
    return text.str();
  }

 private:
  std::string path_;
};

constexpr double positive = std::numeric_limits<double>::min();

// The keys of a thing of `kind` (a shape or a joint type) in `table`, once
// `kind` is known to be one the table takes.
void only_keys_of(const Reader &reader, const toml::table &table, const std::string &prefix,
                  std::string_view section, std::string_view kind) {
  reader.only_keys(table, prefix, keys_of(section, kind));
}

std::string shape_of(const Reader &reader, const toml::table &table, const std::string &key,
                     std::initializer_list<std::string_view> shapes) {
  std::string shape = reader.string(reader.required(table, key, "shape"), key + ".shape");
  if (std::find(shapes.begin(), shapes.end(), shape) == shapes.end()) {
    std::string list;
    std::size_t left = shapes.size();
    for (const std::string_view name : shapes) {
      --left;
      list.append("\"").append(name).append("\"").append(left > 1 ? ", " : left == 1 ? " or " : "");
    }
    reader.refuse(table.get("shape")->source(),
                  "'" + key + ".shape' must be " + list + ", not \"" + shape + "\"");
  }
  return shape;
}

Shape shape_named(const std::string &shape) {
  for (const auto &[known, name] : shape_names) {
    if (name == shape) {
      return known;
    }
  }
  return Shape::plane;
}

// A solid's extent: what its shape takes, each above 0.
template <typename Solid>
void read_extent(const Reader &reader, const toml::table &table, const std::string &key,
                 Solid &solid) {
  const std::string prefix = key + ".";
  if (solid.shape == Shape::box) {
    solid.size = reader.vector3(reader.required(table, key, "size"), prefix + "size", positive,
                                "three lengths above 0 (m)");
    return;
  }
  solid.radius = reader.number(reader.required(table, key, "radius"), prefix + "radius", positive,
                               Reader::huge, "a radius above 0 (m)");
  if (solid.shape != Shape::sphere) {
    solid.length = reader.number(reader.required(table, key, "length"), prefix + "length", positive,
                                 Reader::huge, "a length above 0 (m)");
  }
}

// rpy or quaternion, or neither (not turned), as a unit quaternion.
std::array<double, 4> read_orientation(const Reader &reader, const toml::table &table,
                                       const std::string &key) {
  const toml::node *rpy = table.get("rpy");
  const toml::node *quaternion = table.get("quaternion");
  if (rpy != nullptr && quaternion != nullptr) {
    reader.refuse(quaternion->source(),
                  "'" + key + "' takes 'rpy' or 'quaternion', not both: they say the same");
  }
  if (rpy != nullptr) {
    return quaternion_of_rpy(reader.vector3(*rpy, key + ".rpy"));
  }
  if (quaternion == nullptr) {
    return {1, 0, 0, 0};
  }
  const toml::array &items = reader.array(*quaternion, key + ".quaternion", "four numbers");
  if (items.size() != 4) {
    reader.refuse(quaternion->source(),
                  "'" + key + ".quaternion' must be four numbers, as [1, 0, 0, 0] (w, x, y, z)");
  }
  std::array<double, 4> q{};
  double norm = 0.0;
  for (std::size_t i = 0; i < 4; ++i) {
    q[i] = reader.number(*items.get(i), key + ".quaternion[" + std::to_string(i + 1) + "]", -1e6,
                         1e6, "a number from -1e6 to 1e6");
    norm += q[i] * q[i];
  }
  if (!(norm > 1e-12)) {
    reader.refuse(quaternion->source(), "'" + key + ".quaternion' must not be [0, 0, 0, 0]");
  }
  for (double &part : q) {
    part /= std::sqrt(norm);
  }
  return q;
}

// [[engine.body.part]]: a further geometry of a body.
EnginePart read_part(const Reader &reader, const toml::table &table, const std::string &key) {
  EnginePart part;
  part.name = reader.string(reader.required(table, key, "name"), key + ".name");
  const std::string shape = shape_of(reader, table, key, {"box", "sphere", "capsule", "cylinder"});
  only_keys_of(reader, table, key + ".", "engine.body.part", shape);
  part.shape = shape_named(shape);
  read_extent(reader, table, key, part);
  part.offset = reader.vector3(reader.required(table, key, "offset"), key + ".offset");
  part.orientation = read_orientation(reader, table, key);
  return part;
}

// [[engine.body]]: the keys a shape takes beside the ones every body has.
EngineBody read_body(const Reader &reader, const toml::table &table, const std::string &key) {
  EngineBody body;
  body.name = reader.string(reader.required(table, key, "name"), key + ".name");
  const std::string shape = shape_of(reader, table, key, {"box", "sphere", "capsule", "cylinder"});
  const std::string prefix = key + ".";
  only_keys_of(reader, table, prefix, "engine.body", shape);
  body.shape = shape_named(shape);
  read_extent(reader, table, key, body);
  body.mass = reader.number(reader.required(table, key, "mass"), prefix + "mass", positive,
                            Reader::huge, "a mass above 0 (kg)");
  body.position = reader.vector3(reader.required(table, key, "position"), prefix + "position");
  if (const toml::node *velocity = table.get("velocity")) {
    body.velocity = reader.vector3(*velocity, prefix + "velocity");
  }
  body.orientation = read_orientation(reader, table, key);
  if (const toml::node *turning = table.get("angular_velocity")) {
    body.angular_velocity = reader.vector3(*turning, prefix + "angular_velocity");
  }
  if (const toml::node *parts = table.get("part")) {
    for (const toml::node &item :
         reader.array(*parts, prefix + "part", "tables ([[engine.body.part]])")) {
      const std::string part_key = prefix + "part[" + std::to_string(body.parts.size() + 1) + "]";
      body.parts.push_back(read_part(reader, reader.table(item, part_key), part_key));
    }
  }
  return body;
}

// A mesh's triangles, each three indices of its vertices.
void read_mesh(const Reader &reader, const toml::table &table, const std::string &key,
               EngineGeometry &geometry) {
  const std::string prefix = key + ".";
  for (const toml::node &item :
       reader.array(reader.required(table, key, "vertices"), prefix + "vertices", "[x, y, z]")) {
    geometry.vertices.push_back(reader.vector3(
        item, prefix + "vertices[" + std::to_string(geometry.vertices.size() + 1) + "]"));
  }
  const toml::node &triangles = reader.required(table, key, "triangles");
  for (const toml::node &item : reader.array(triangles, prefix + "triangles", "[a, b, c]")) {
    const std::string at =
        prefix + "triangles[" + std::to_string(geometry.triangles.size() + 1) + "]";
    const toml::array &corners = reader.array(item, at, "three vertex indices");
    const long last = static_cast<long>(geometry.vertices.size()) - 1;
    if (corners.size() != 3 || last < 0) {
      reader.refuse(item.source(),
                    "'" + at + "' must be three indices into 'vertices', as [0, 1, 2]");
    }
    std::array<unsigned, 3> triangle{};
    for (std::size_t i = 0; i < 3; ++i) {
      triangle[i] = static_cast<unsigned>(reader.integer(
          *corners.get(i), at + "[" + std::to_string(i + 1) + "]", 0, std::min(last, int_max)));
    }
    geometry.triangles.push_back(triangle);
  }
  if (geometry.triangles.empty()) {
    reader.refuse(triangles.source(), "'" + prefix + "triangles' needs at least one triangle");
  }
}

// [[engine.geometry]]: a fixed plane, box or mesh.
EngineGeometry read_geometry(const Reader &reader, const toml::table &table,
                             const std::string &key) {
  EngineGeometry geometry;
  geometry.name = reader.string(reader.required(table, key, "name"), key + ".name");
  const std::string shape = shape_of(reader, table, key, {"plane", "box", "mesh"});
  const std::string prefix = key + ".";
  only_keys_of(reader, table, prefix, "engine.geometry", shape);
  geometry.shape = shape_named(shape);
  if (shape == "plane") {
    const toml::node &normal = reader.required(table, key, "normal");
    geometry.normal = reader.vector3(normal, prefix + "normal");
    if (geometry.normal == std::array<double, 3>{}) {
      reader.refuse(normal.source(), "'" + prefix + "normal' must not be [0, 0, 0]");
    }
    if (const toml::node *offset = table.get("offset")) {
      geometry.offset = reader.number(*offset, prefix + "offset", -Reader::huge, Reader::huge);
    }
  } else if (shape == "box") {
    geometry.size = reader.vector3(reader.required(table, key, "size"), prefix + "size", positive,
                                   "three lengths above 0 (m)");
    geometry.position =
        reader.vector3(reader.required(table, key, "position"), prefix + "position");
  } else {
    read_mesh(reader, table, key, geometry);
  }
  return geometry;
}

std::array<double, 3> read_axis(const Reader &reader, const toml::table &table,
                                const std::string &key, const char *name) {
  const toml::node &node = reader.required(table, key, name);
  const std::array<double, 3> axis = reader.vector3(node, key + "." + name);
  if (axis == std::array<double, 3>{}) {
    reader.refuse(node.source(), "'" + key + "." + name + "' must not be [0, 0, 0]");
  }
  return axis;
}

// [[engine.joint]]: bodies named before it in the file's [[engine.body]].
EngineJoint read_joint(const Reader &reader, const toml::table &table, const std::string &key,
                       const std::vector<EngineBody> &bodies) {
  EngineJoint joint;
  joint.name = reader.string(reader.required(table, key, "name"), key + ".name");
  const toml::node &type_node = reader.required(table, key, "type");
  const std::string type = reader.string(type_node, key + ".type");
  const auto *const found = std::find_if(joint_type_names.begin(), joint_type_names.end(),
                                         [&](const auto &entry) { return type == entry.second; });
  if (found == joint_type_names.end()) {
    reader.refuse(type_node.source(), "'" + key +
                                          ".type' must be \"hinge\", \"slider\", \"ball\", "
                                          "\"universal\" or \"fixed\", not \"" +
                                          type + "\"");
  }
  joint.type = found->first;
  const std::string prefix = key + ".";
  only_keys_of(reader, table, prefix, "engine.joint", type);
  const toml::node &names_node = reader.required(table, key, "bodies");
  const std::vector<std::string> names = reader.strings(names_node, prefix + "bodies");
  if (names.empty() || names.size() > 2 || (names.size() == 2 && names[0] == names[1])) {
    reader.refuse(names_node.source(), "'" + prefix +
                                           "bodies' must name two bodies, or one to tie to the "
                                           "world, as [\"arm\"]");
  }
  for (const std::string &name : names) {
    if (std::none_of(bodies.begin(), bodies.end(),
                     [&](const EngineBody &body) { return body.name == name; })) {
      std::string reason = "'" + prefix;
      reason.append("bodies' names '").append(name).append("', which is no [[engine.body]]");
      reader.refuse(names_node.source(), reason);
    }
  }
  joint.first = names[0];
  joint.second = names.size() == 2 ? names[1] : std::string();
  if (table.contains("anchor")) {
    joint.anchor = reader.vector3(*table.get("anchor"), prefix + "anchor");
  } else if (joint.type != JointType::slider && joint.type != JointType::fixed) {
    (void)reader.required(table, key, "anchor");
  }
  if (joint.type == JointType::hinge || joint.type == JointType::slider ||
      joint.type == JointType::universal) {
    joint.axis = read_axis(reader, table, key, "axis");
  }
  if (joint.type == JointType::universal) {
    joint.axis2 = read_axis(reader, table, key, "axis2");
  }
  if (const toml::node *limits = table.get("limits")) {
    const toml::array &pair = reader.array(*limits, prefix + "limits", "two numbers");
    if (pair.size() != 2) {
      reader.refuse(limits->source(), "'" + prefix + "limits' must be [low, high], as [-1.6, 1.6]");
    }
    const double low =
        reader.number(*pair.get(0), prefix + "limits[1]", -Reader::huge, Reader::huge);
    const double high = reader.number(*pair.get(1), prefix + "limits[2]", low, Reader::huge,
                                      "a number no lower than limits[1]");
    joint.limits = std::array<double, 2>{low, high};
  }
  if (const toml::node *motor = table.get("motor")) {
    const toml::table &settings = reader.table(*motor, prefix + "motor");
    reader.only_keys(settings, prefix + "motor.", keys_of("engine.joint.motor"));
    joint.motor =
        JointMotor{reader.number(reader.required(settings, prefix + "motor", "velocity"),
                                 prefix + "motor.velocity", -Reader::huge, Reader::huge),
                   reader.number(reader.required(settings, prefix + "motor", "max_force"),
                                 prefix + "motor.max_force", 0, Reader::huge, "a number from 0")};
  }
  return joint;
}

void read_engine_settings(const Reader &reader, const toml::table &table, Engine &engine) {
  if (const toml::node *gravity = table.get("gravity")) {
    engine.gravity = reader.vector3(*gravity, "engine.gravity");
  }
  if (const toml::node *friction = table.get("friction")) {
    if (friction->is_string()) {
      if (friction->as_string()->get() != "infinity") {
        reader.refuse(friction->source(),
                      "'engine.friction' must be a number from 0 or \"infinity\"");
      }
    } else {
      engine.friction = reader.number(*friction, "engine.friction", 0, Reader::huge,
                                      "a number from 0 or \"infinity\"");
    }
  }
  if (const toml::node *bounce = table.get("bounce")) {
    engine.bounce = reader.number(*bounce, "engine.bounce", 0, 1, "a number from 0 to 1");
  }
  if (const toml::node *most = table.get("max_contacts")) {
    engine.max_contacts = static_cast<int>(reader.integer(*most, "engine.max_contacts", 1, 256));
  }
  if (const toml::node *solver = table.get("solver")) {
    const std::string name = reader.string(*solver, "engine.solver");
    if (name != "exact" && name != "quick") {
      reader.refuse(solver->source(),
                    "'engine.solver' must be \"exact\" or \"quick\", not \"" + name + "\"");
    }
    engine.solver = name == "quick" ? Solver::quick : Solver::exact;
  }
  if (const toml::node *iterations = table.get("iterations")) {
    if (engine.solver != Solver::quick) {
      reader.refuse(iterations->source(),
                    "'engine.iterations' is for solver = \"quick\"; the exact solver does not "
                    "iterate");
    }
    engine.iterations = static_cast<int>(reader.integer(*iterations, "engine.iterations", 1, 1000));
  }
}

void read_engine(const Reader &reader, const toml::table &table, WorldFile &file) {
  reader.only_keys(table, "engine.", keys_of("engine"));
  Engine engine;
  read_engine_settings(reader, table, engine);
  // Bodies, their parts and the fixed geometries share one set of names, as
  // the geometry lookup finds them all; joints have their own.
  std::vector<std::string> names;
  const auto name_once = [&](const toml::table &entry, const std::string &key,
                             const std::string &name, std::vector<std::string> &among) {
    if (std::find(among.begin(), among.end(), name) != among.end()) {
      reader.refuse(entry.get("name")->source(),
                    "'" + key + ".name' repeats the name '" + name + "'");
    }
    among.push_back(name);
  };
  std::vector<std::string> joint_names;
  const auto read_all = [&](const char *member, auto read_one, auto &into) {
    const toml::node *list = table.get(member);
    if (list == nullptr) {
      return;
    }
    const std::string base = std::string("engine.") + member;
    for (const toml::node &item : reader.array(*list, base, "tables")) {
      const std::string key = base + "[" + std::to_string(into.size() + 1) + "]";
      const toml::table &entry = reader.table(item, key);
      into.push_back(read_one(entry, key));
      if constexpr (std::is_same_v<std::decay_t<decltype(into.back())>, EngineJoint>) {
        name_once(entry, key, into.back().name, joint_names);
      } else {
        name_once(entry, key, into.back().name, names);
      }
      if constexpr (std::is_same_v<std::decay_t<decltype(into.back())>, EngineBody>) {
        for (std::size_t i = 0; i < into.back().parts.size(); ++i) {
          const toml::array &parts = *entry.get("part")->as_array();
          name_once(*parts.get(i)->as_table(), key + ".part[" + std::to_string(i + 1) + "]",
                    into.back().parts[i].name, names);
        }
      }
    }
  };
  read_all(
      "body",
      [&](const toml::table &entry, const std::string &key) {
        return read_body(reader, entry, key);
      },
      engine.bodies);
  read_all(
      "geometry",
      [&](const toml::table &entry, const std::string &key) {
        return read_geometry(reader, entry, key);
      },
      engine.geometries);
  read_all(
      "joint",
      [&](const toml::table &entry, const std::string &key) {
        return read_joint(reader, entry, key, engine.bodies);
      },
      engine.joints);
  file.engine = std::move(engine);
}

void read_engine_part(const Reader &reader, const toml::table &root, const toml::node &engine,
                      WorldFile &file) {
  // The engine's bodies and geometries are the world's, and its collision
  // detection decides the pairs.
  for (const auto &[key, value] : root) {
    if (key == "bodies" || key == "geometries" || key == "collide") {
      reader.refuse(key.source(), "'" + std::string(key.str()) +
                                      "' cannot be used with [engine]: the world's bodies and "
                                      "geometries are [[engine.body]] and [[engine.geometry]], "
                                      "and the engine finds the pairs to collide");
    }
  }
  read_engine(reader, reader.table(engine, "engine"), file);
}

std::optional<std::array<double, 3>> optional_vector(const Reader &reader, const toml::table &entry,
                                                     const std::string &key, const char *name) {
  if (const toml::node *node = entry.get(name)) {
    return reader.vector3(*node, key + "." + name);
  }
  return std::nullopt;
}

double optional_tolerance(const Reader &reader, const toml::table &entry, const std::string &key,
                          const char *name) {
  if (const toml::node *tolerance = entry.get(name)) {
    return reader.number(*tolerance, key + "." + name, 0, Reader::huge, "a number from 0");
  }
  return 0.001;
}

void read_body_expectations(const Reader &reader, const toml::node &list, WorldFile &file) {
  for (const toml::node &item : reader.array(list, "expect.body", "tables ([[expect.body]])")) {
    const std::string key =
        "expect.body[" + std::to_string(file.body_expectations.size() + 1) + "]";
    const toml::table &entry = reader.table(item, key);
    reader.only_keys(entry, key + ".", keys_of("expect.body"));
    ExpectedBody expected;
    expected.where = reader.place(entry.source());
    expected.name = reader.string(reader.required(entry, key, "name"), key + ".name");
    expected.step =
        reader.integer(reader.required(entry, key, "step"), key + ".step", 1, max_steps);
    expected.position = optional_vector(reader, entry, key, "position");
    expected.velocity = optional_vector(reader, entry, key, "velocity");
    expected.rpy = optional_vector(reader, entry, key, "rpy");
    expected.angular_velocity = optional_vector(reader, entry, key, "angular_velocity");
    expected.displacement = optional_vector(reader, entry, key, "displacement");
    const toml::node *from = entry.get("from_step");
    if ((from == nullptr) != !expected.displacement) {
      reader.refuse(entry.source(), "'" + key +
                                        "' takes 'displacement' and 'from_step' together: how "
                                        "far the body went from one step to the other");
    }
    if (from != nullptr) {
      expected.from_step = reader.integer(*from, key + ".from_step", 0, expected.step - 1);
    }
    if (!expected.position && !expected.velocity && !expected.rpy && !expected.angular_velocity &&
        !expected.displacement) {
      reader.refuse(entry.source(), "'" + key +
                                        "' needs at least one of 'position', 'velocity', "
                                        "'displacement', 'rpy' and 'angular_velocity'");
    }
    expected.tolerance = optional_tolerance(reader, entry, key, "tolerance");
    expected.angle_tolerance = optional_tolerance(reader, entry, key, "angle_tolerance");
    file.body_expectations.push_back(std::move(expected));
  }
}

void read_joint_expectations(const Reader &reader, const toml::node &list, WorldFile &file) {
  for (const toml::node &item : reader.array(list, "expect.joint", "tables ([[expect.joint]])")) {
    const std::string key =
        "expect.joint[" + std::to_string(file.joint_expectations.size() + 1) + "]";
    const toml::table &entry = reader.table(item, key);
    reader.only_keys(entry, key + ".", keys_of("expect.joint"));
    ExpectedJoint expected;
    expected.where = reader.place(entry.source());
    expected.name = reader.string(reader.required(entry, key, "name"), key + ".name");
    expected.step =
        reader.integer(reader.required(entry, key, "step"), key + ".step", 1, max_steps);
    for (const auto &[name, member] : {std::pair{"angle", &ExpectedJoint::angle},
                                       std::pair{"position", &ExpectedJoint::position},
                                       std::pair{"rate", &ExpectedJoint::rate}}) {
      if (const toml::node *value = entry.get(name)) {
        expected.*member = reader.number(*value, key + "." + name, -Reader::huge, Reader::huge);
      }
    }
    if (!expected.angle && !expected.position && !expected.rate) {
      reader.refuse(entry.source(),
                    "'" + key + "' needs at least one of 'angle', 'position' and 'rate'");
    }
    expected.tolerance = optional_tolerance(reader, entry, key, "tolerance");
    file.joint_expectations.push_back(std::move(expected));
  }
}

void read_expectations(const Reader &reader, const toml::table &expect, WorldFile &file) {
  reader.only_keys(expect, "expect.", keys_of("expect"));
  if (const toml::node *bodies = expect.get("body")) {
    read_body_expectations(reader, *bodies, file);
  }
  if (const toml::node *joints = expect.get("joint")) {
    read_joint_expectations(reader, *joints, file);
  }
  if (const toml::node *console = expect.get("console")) {
    file.console = reader.strings(*console, "expect.console");
  }
  if (const toml::node *sent = expect.get("sent")) {
    file.sent.emplace();
    for (const toml::node &item : reader.array(*sent, "expect.sent", "tables")) {
      const std::string key = "expect.sent[" + std::to_string(file.sent->size() + 1) + "]";
      const toml::table &message = reader.table(item, key);
      reader.only_keys(message, key + ".", keys_of("expect.sent"));
      const toml::node *channel = message.get("channel");
      if (channel == nullptr) {
        reader.refuse(message.source(), "'" + key + "' needs a 'channel'");
      }
      file.sent->push_back(
          {static_cast<int>(reader.integer(*channel, key + ".channel", int_min, int_max)),
           reader.bytes(message, key)});
    }
  }
  if (const toml::node *collide = expect.get("collide")) {
    for (const toml::node &item : reader.array(*collide, "expect.collide", "tables")) {
      const std::string key =
          "expect.collide[" + std::to_string(file.collide_answers.size() + 1) + "]";
      const toml::table &entry = reader.table(item, key);
      reader.only_keys(entry, key + ".", keys_of("expect.collide"));
      const toml::node *pair = entry.get("pair");
      const toml::node *answer = entry.get("answer");
      if (pair == nullptr || answer == nullptr) {
        reader.refuse(entry.source(), "'" + key + "' needs a 'pair' and an 'answer'");
      }
      file.collide_answers.push_back(
          {reader.pair(*pair, key + ".pair"),
           static_cast<int>(reader.integer(*answer, key + ".answer", int_min, int_max)),
           reader.place(pair->source())});
    }
  }
}

void check_expected_bodies(const WorldFile &file);
void check_expected_joints(const WorldFile &file);

void read_table(const Reader &reader, const toml::table &root, WorldFile &file) {
  reader.only_keys(root, "", keys_of(""));
  if (const toml::node *engine = root.get("engine")) {
    read_engine_part(reader, root, *engine, file);
  }
  if (const toml::node *steps = root.get("steps")) {
    file.steps = reader.integer(*steps, "steps", 0, max_steps);
  }
  if (const toml::node *seconds = root.get("step_seconds")) {
    const std::optional<double> value = seconds->value<double>();  // integers too
    if (!value || !std::isfinite(*value) || *value < 0) {
      reader.refuse(seconds->source(), "'step_seconds' must be a number of seconds, 0 or more" +
                                           Reader::described(*seconds));
    }
    file.step_seconds = *value;
  }
  for (const auto &[key, member] :
       {std::pair{"bodies", &WorldFile::bodies}, std::pair{"geometries", &WorldFile::geometries},
        std::pair{"lookups", &WorldFile::lookups}}) {
    if (const toml::node *names = root.get(key)) {
      file.*member = reader.strings(*names, key);
    }
  }
  if (const toml::node *collide = root.get("collide")) {
    file.collide.emplace();
    for (const toml::node &item : reader.array(*collide, "collide", "pairs")) {
      file.collide->push_back(
          reader.pair(item, "collide[" + std::to_string(file.collide->size() + 1) + "]"));
      file.collide_where.push_back(reader.place(item.source()));
    }
  }
  if (const toml::node *messages = root.get("message")) {
    for (const toml::node &item : reader.array(*messages, "message", "tables ([[message]])")) {
      const std::string key = "message[" + std::to_string(file.messages.size() + 1) + "]";
      const toml::table &message = reader.table(item, key);
      reader.only_keys(message, key + ".", keys_of("message"));
      const toml::node *channel = message.get("channel");
      const toml::node *step = message.get("step");
      if (channel == nullptr || step == nullptr) {
        reader.refuse(message.source(), "'" + key + "' needs a 'channel' and a 'step'");
      }
      QueuedMessage queued;
      queued.channel =
          static_cast<int>(reader.integer(*channel, key + ".channel", int_min, int_max));
      queued.step = reader.integer(*step, key + ".step", 1, max_steps);
      queued.bytes = reader.bytes(message, key);
      file.messages.push_back(std::move(queued));
    }
  }
  if (const toml::node *expect = root.get("expect")) {
    read_expectations(reader, reader.table(*expect, "expect"), file);
  }
  check_expected_bodies(file);
}

void check_expected_bodies(const WorldFile &file) {
  for (const ExpectedBody &expected : file.body_expectations) {
    const bool known =
        file.engine &&
        std::any_of(file.engine->bodies.begin(), file.engine->bodies.end(),
                    [&](const EngineBody &body) { return body.name == expected.name; });
    if (!known) {
      throw Refusal(
          expected.where + ": [[expect.body]] names '" + expected.name + "', which is " +
          (file.engine ? "no [[engine.body]] of the world" : "no body: the file has no [engine]"));
    }
  }
  check_expected_joints(file);
}

void check_expected_joints(const WorldFile &file) {
  for (const ExpectedJoint &expected : file.joint_expectations) {
    const auto joint =
        !file.engine ? std::vector<EngineJoint>::const_iterator()
                     : std::find_if(file.engine->joints.begin(), file.engine->joints.end(),
                                    [&](const EngineJoint &j) { return j.name == expected.name; });
    if (!file.engine || joint == file.engine->joints.end()) {
      throw Refusal(expected.where + ": [[expect.joint]] names '" + expected.name + "', which is " +
                    (file.engine ? "no [[engine.joint]] of the world"
                                 : "no joint: the file has no [engine]"));
    }
    // What each type of joint can be read for.
    const JointType type = joint->type;
    const bool turns = type == JointType::hinge || type == JointType::universal;
    const bool slides = type == JointType::slider;
    const char *wrong = nullptr;
    if (expected.angle && !turns) {
      wrong = "an 'angle'";
    } else if (expected.position && !slides) {
      wrong = "a 'position'";
    } else if (expected.rate && !(turns || slides)) {
      wrong = "a 'rate'";
    }
    if (wrong != nullptr) {
      throw Refusal(expected.where + ": [[expect.joint]] '" + expected.name + "' cannot have " +
                    wrong +
                    ": a hinge and a universal have an angle, a slider a position, and all three "
                    "a rate");
    }
  }
}

std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + '"';
}

std::string number_text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

std::string vector_text(const std::array<double, 3> &values) {
  std::ostringstream text;
  text << '[' << values[0] << ", " << values[1] << ", " << values[2] << ']';
  return text.str();
}

bool within(const std::array<double, 3> &want, const std::array<double, 3> &got, double tolerance) {
  for (std::size_t i = 0; i < 3; ++i) {
    // Written so that a NaN is never within anything.
    if (!(std::abs(want[i] - got[i]) <= tolerance)) {
      return false;
    }
  }
  return true;
}

std::string message_text(const Message &message) {
  return "channel " + std::to_string(message.channel) + " " + quoted(message.text());
}

// Element by element, then what one list has beyond the other.
template <typename T, typename Show>
void compare_lists(const std::string &key, const std::vector<T> &expected,
                   const std::vector<T> &actual, Show show, std::vector<std::string> &unmet) {
  for (std::size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
    const bool have_expected = i < expected.size();
    const bool have_actual = i < actual.size();
    if (have_expected && have_actual && expected[i] == actual[i]) {
      continue;
    }
    unmet.push_back(key + "[" + std::to_string(i + 1) + "]: expected " +
                    (have_expected ? show(expected[i]) : "nothing more") + ", got " +
                    (have_actual ? show(actual[i]) : "nothing"));
  }
}

// The TOML library's table of non-ASCII whitespace ends in an unreachable
// branch for three blocks of characters, and the library asks it about
// characters in more places than between tokens. So every character of those
// blocks is refused here, before the library sees it, except in comments; in
// a string it can be written as an escape. Any other non-ASCII character is
// refused between tokens only, and control characters, which TOML allows
// nowhere but tab, everywhere. Returns the first such character's line and
// what it is, or line 0.
struct Stray {
  std::size_t line = 0;
  std::string what;
};

// The UTF-8 sequence starting at `at`, as a code point; 0 when it is not
// well formed, which the library refuses soundly.
char32_t code_point_at(const std::string &text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
  if (length == 0 || at + length > text.size()) {
    return 0;
  }
  char32_t point = lead & (0x7fU >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xc0U) != 0x80U) {
      return 0;
    }
    point = (point << 6U) | (next & 0x3fU);
  }
  return point;
}

bool unsafe_for_toml(char32_t point) {
  return (point >= 0xa1 && point <= 0x499) ||
         (point >= 0x2d8e && point <= 0x3187 && point != 0x3000) ||
         (point >= 0xfba6 && point <= 0xfefe);
}

enum class In { tokens, comment, basic, literal, multi_basic, multi_literal };

bool starts(const std::string &text, std::size_t at, const char *quote) {
  return text.compare(at, 3, quote) == 0;
}

// The last quote of a multi-line string's end at `at`, which may take up to
// two quotes of the string's own before its closing three: `""""` is a
// string ending in one.
std::size_t multi_end(const std::string &text, std::size_t at, char quote) {
  std::size_t end = at + 3;
  while (end < text.size() && end < at + 5 && text[end] == quote) {
    ++end;
  }
  return end - 1;
}

// Whether the character at `at`, between tokens, starts a comment or a
// string; `at` moves on to a multi-line string's third quote.
In from_tokens(const std::string &text, std::size_t &at) {
  const char c = text[at];
  if (starts(text, at, "\"\"\"") || starts(text, at, "'''")) {
    at += 2;
    return c == '"' ? In::multi_basic : In::multi_literal;
  }
  return c == '#' ? In::comment : c == '"' ? In::basic : c == '\'' ? In::literal : In::tokens;
}

// Whether a basic string ends at `at`. An escaped quote or backslash does
// not end it, and `at` moves past it; an escaped non-ASCII character is
// looked at like any other.
In in_basic_string(const std::string &text, std::size_t &at, In in) {
  const char c = text[at];
  if (c == '\\' && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) < 0x80) {
    ++at;
    return in;
  }
  if (in == In::multi_basic && starts(text, at, "\"\"\"")) {
    at = multi_end(text, at, '"');
    return In::tokens;
  }
  return in == In::basic && c == '"' ? In::tokens : in;
}

// Where the character at `at` leaves the scan; `at` moves on to the last
// character it takes with it.
In next_state(const std::string &text, std::size_t &at, In in) {
  switch (in) {
    case In::tokens:
      return from_tokens(text, at);
    case In::basic:
    case In::multi_basic:
      return in_basic_string(text, at, in);
    case In::literal:
      return text[at] == '\'' ? In::tokens : in;
    case In::multi_literal:
      if (starts(text, at, "'''")) {
        at = multi_end(text, at, '\'');
        return In::tokens;
      }
      return in;
    case In::comment:
      return in;
  }
  return in;
}

// What is wrong with the character at `at`, read in `in`; empty if nothing.
std::string character_problem(const std::string &text, std::size_t at, In in) {
  const auto c = static_cast<unsigned char>(text[at]);
  if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
    return "a control character";
  }
  if (c < 0x80 || in == In::comment) {
    return {};
  }
  if (const char32_t point = code_point_at(text, at); unsafe_for_toml(point)) {
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "U+%04X", static_cast<unsigned>(point));
    return std::string("the character ") + name.data() +
           ", which the TOML reader cannot take safely; in a string, write it as an escape (\\u" +
           (name.data() + 2) + ")";
  }
  return in == In::tokens ? "a non-ASCII character outside a string or comment" : "";
}

Stray stray_character(const std::string &text) {
  In in = In::tokens;
  std::size_t line = 1;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (std::string problem = character_problem(text, at, in); !problem.empty()) {
      return {line, std::move(problem)};
    }
    if (text[at] == '\n') {
      ++line;
      // A single-line string cannot go on; the parser says so.
      in = in == In::comment || in == In::basic || in == In::literal ? In::tokens : in;
      continue;
    }
    const std::size_t from = at;
    in = next_state(text, at, in);
    const auto skipped = text.begin() + static_cast<std::ptrdiff_t>(from);
    line += static_cast<std::size_t>(
        std::count(skipped + 1, skipped + static_cast<std::ptrdiff_t>(at - from) + 1, '\n'));
  }
  return {};
}

}  // namespace

std::size_t WorldFile::expectation_count() const {
  return (console ? 1 : 0) + (sent ? 1 : 0) + collide_answers.size() + body_expectations.size() +
         joint_expectations.size();
}

std::string read_world_file(const std::string &path, WorldFile &file) {
  // A FIFO or a device would block or never end; a world file is a file.
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) {
    return "cannot read the world file " + path + ": " + error.message();
  }
  if (!std::filesystem::is_regular_file(status)) {
    return "the world file " + path + " is not a regular file";
  }
  // Sized before it is read, and read no further than the bound, in case it
  // grows in between: a sparse file of gigabytes costs nothing to make.
  std::string too_big = "the world file " + path + " is larger than " +
                        std::to_string(max_world_file_bytes >> 20U) + " MiB";
  if (std::filesystem::file_size(path, error) > max_world_file_bytes && !error) {
    return too_big;
  }
  std::ifstream stream(path, std::ios::binary);
  std::string text;
  std::array<char, 65536> chunk{};
  while (stream && text.size() <= max_world_file_bytes) {
    stream.read(chunk.data(), chunk.size());
    text.append(chunk.data(), static_cast<std::size_t>(stream.gcount()));
  }
  if (!stream.eof() && text.size() <= max_world_file_bytes) {
    return "cannot read the world file " + path;
  }
  if (text.size() > max_world_file_bytes) {
    return too_big;
  }
  if (const Stray stray = stray_character(text); stray.line != 0) {
    return path + ":" + std::to_string(stray.line) + ": not valid TOML: " + stray.what;
  }
  try {
    const toml::table root = toml::parse(text, path);
    read_table(Reader(path), root, file);
  } catch (const toml::parse_error &bad) {
    return Reader(path).place(bad.source()) + ": not valid TOML: " + std::string(bad.description());
  } catch (const Refusal &refusal) {
    return refusal.what();
  }
  return {};
}

namespace {

std::string not_reached(const Host &host) {
  return ": the run ended after " + std::to_string(host.steps_completed()) + " steps";
}

// The expectations of a body's turn and of the way it went since from_step.
void unmet_turn_and_way(const ExpectedBody &expected, const BodyState &seen,
                        const std::optional<BodyState> &from, const std::string &key,
                        std::vector<std::string> &unmet) {
  if (expected.rpy) {
    const double off = angle_between(quaternion_of_rpy(*expected.rpy), seen.orientation);
    if (!(off <= expected.angle_tolerance)) {
      unmet.push_back(key + ": rpy expected " + vector_text(*expected.rpy) + " within " +
                      number_text(expected.angle_tolerance) + " rad, got " +
                      vector_text(rpy_of_quaternion(seen.orientation)) + ", turned " +
                      number_text(off) + " rad from it");
    }
  }
  if (expected.displacement) {
    if (!from) {
      unmet.push_back(key + ": displacement from step " + std::to_string(expected.from_step) +
                      ", which the run never saw");
      return;
    }
    const std::array<double, 3> moved{seen.position[0] - from->position[0],
                                      seen.position[1] - from->position[1],
                                      seen.position[2] - from->position[2]};
    if (!within(*expected.displacement, moved, expected.tolerance)) {
      unmet.push_back(key + ": displacement from step " + std::to_string(expected.from_step) +
                      " expected " + vector_text(*expected.displacement) + " within " +
                      number_text(expected.tolerance) + ", got " + vector_text(moved));
    }
  }
}

void unmet_bodies(const WorldFile &file, const Host &host, const Observed &observed,
                  std::vector<std::string> &unmet) {
  for (std::size_t i = 0; i < file.body_expectations.size(); ++i) {
    const ExpectedBody &expected = file.body_expectations[i];
    const std::string key = "expect.body[" + std::to_string(i + 1) + "] (" + expected.name +
                            ") at step " + std::to_string(expected.step);
    const std::optional<BodyState> seen =
        i < observed.bodies.size() ? observed.bodies[i] : std::nullopt;
    if (!seen) {
      unmet.push_back(key + not_reached(host));
      continue;
    }
    for (const auto &[what, want, got, tolerance] :
         {std::tuple{"position", expected.position, seen->position, expected.tolerance},
          std::tuple{"velocity", expected.velocity, seen->velocity, expected.tolerance},
          std::tuple{"angular_velocity", expected.angular_velocity, seen->angular_velocity,
                     expected.angle_tolerance}}) {
      if (want && !within(*want, got, tolerance)) {
        unmet.push_back(key + ": " + what + " expected " + vector_text(*want) + " within " +
                        number_text(tolerance) + ", got " + vector_text(got));
      }
    }
    unmet_turn_and_way(expected, *seen,
                       i < observed.bodies_from.size() ? observed.bodies_from[i] : std::nullopt,
                       key, unmet);
  }
}

void unmet_joints(const WorldFile &file, const Host &host, const Observed &observed,
                  std::vector<std::string> &unmet) {
  for (std::size_t i = 0; i < file.joint_expectations.size(); ++i) {
    const ExpectedJoint &expected = file.joint_expectations[i];
    const std::string key = "expect.joint[" + std::to_string(i + 1) + "] (" + expected.name +
                            ") at step " + std::to_string(expected.step);
    const std::optional<JointState> seen =
        i < observed.joints.size() ? observed.joints[i] : std::nullopt;
    if (!seen) {
      unmet.push_back(key + not_reached(host));
      continue;
    }
    for (const auto &[what, want, got] : {std::tuple{"angle", expected.angle, seen->angle},
                                          std::tuple{"position", expected.position, seen->position},
                                          std::tuple{"rate", expected.rate, seen->rate}}) {
      if (want && !(std::abs(*want - got) <= expected.tolerance)) {
        unmet.push_back(key + ": " + what + " expected " + number_text(*want) + " within " +
                        number_text(expected.tolerance) + ", got " + number_text(got));
      }
    }
  }
}

}  // namespace

std::string world_size_problem(const World &world) {
  const std::size_t pairs = collide_pair_count(world);
  if (pairs <= max_collide_pairs) {
    return {};
  }
  return "the world makes " + std::to_string(pairs) + " collide pairs, more than the " +
         std::to_string(max_collide_pairs) +
         " host-sim takes: give fewer geometries, or name the pairs to collide";
}

World world_of(const WorldFile &file) {
  World world = World::standard();
  if (file.engine) {
    world.bodies.clear();
    world.geometries.clear();
    world.engine = file.engine;
  }
  if (file.bodies) {
    world.bodies = *file.bodies;
  }
  if (file.geometries) {
    world.geometries = *file.geometries;
  }
  world.collide_pairs = file.collide;
  world.step_seconds = file.step_seconds.value_or(world.step_seconds);
  world.messages = file.messages;
  return world;
}

void observe(const WorldFile &file, const Host &host, long step, Observed &observed) {
  observed.bodies.resize(file.body_expectations.size());
  observed.bodies_from.resize(file.body_expectations.size());
  observed.joints.resize(file.joint_expectations.size());
  for (std::size_t i = 0; i < file.body_expectations.size(); ++i) {
    const ExpectedBody &expected = file.body_expectations[i];
    if (expected.step == step) {
      observed.bodies[i] = host.body_state(expected.name);
    }
    if (expected.displacement && expected.from_step == step) {
      observed.bodies_from[i] = host.body_state(expected.name);
    }
  }
  for (std::size_t i = 0; i < file.joint_expectations.size(); ++i) {
    if (file.joint_expectations[i].step == step) {
      observed.joints[i] = host.joint_state(file.joint_expectations[i].name);
    }
  }
}

std::vector<std::string> unmet_expectations(const WorldFile &file, const Host &host,
                                            const Observed &observed) {
  std::vector<std::string> unmet;
  unmet_bodies(file, host, observed, unmet);
  unmet_joints(file, host, observed, unmet);
  if (file.console) {
    std::vector<std::string> texts;
    for (const ConsoleMessage &message : host.console()) {
      texts.push_back(message.text);
    }
    compare_lists("expect.console", *file.console, texts, quoted, unmet);
  }
  if (file.sent) {
    compare_lists("expect.sent", *file.sent, host.sends(), message_text, unmet);
  }
  const std::vector<PairTally> tallies = host.tallies();
  for (std::size_t i = 0; i < file.collide_answers.size(); ++i) {
    const ExpectedCollide &expected = file.collide_answers[i];
    const std::string key = "expect.collide[" + std::to_string(i + 1) + "] (" +
                            expected.pair.first + ", " + expected.pair.second + ")";
    const auto tally = std::find_if(tallies.begin(), tallies.end(), [&](const PairTally &t) {
      return t.first == expected.pair.first && t.second == expected.pair.second;
    });
    const std::string want = "expected " + std::to_string(expected.answer) + " from every call";
    if (tally == tallies.end() || tally->calls == 0) {
      unmet.push_back(key);
      unmet.back().append(": ").append(want).append(", got no call for this pair");
      continue;
    }
    std::string got;
    for (const auto &[answer, count] : tally->answers) {
      if (answer != expected.answer) {
        got.append(got.empty() ? "" : ", ")
            .append(std::to_string(answer))
            .append(" in ")
            .append(std::to_string(count))
            .append(" of ")
            .append(std::to_string(tally->calls))
            .append(" calls");
      }
    }
    if (!got.empty()) {
      unmet.push_back(key);
      unmet.back().append(": ").append(want).append(", got ").append(got);
    }
  }
  return unmet;
}

}  // namespace tamrix_host
