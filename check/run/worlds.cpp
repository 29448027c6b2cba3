#include "run/worlds.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "programs/join.hpp"
#include "sim/world_file.hpp"

namespace plugin_check {
namespace {

using tamrix_host::EngineBody;
using tamrix_host::EngineGeometry;
using tamrix_host::Shape;

constexpr const char *standard_argument = "standard";
constexpr const char *engine_argument = "engine";
constexpr const char *file_prefix = "file:";

}  // namespace

tamrix_host::World checker_engine_world() {
  tamrix_host::Engine engine;
  // "arm" is the body the contract checks look up. It sinks a little into
  // "base", and "ball" into it, the others into the floor, so the first two
  // geometries, which the step and collide checks hand to collide, touch,
  // and contacts are there from the first step.
  EngineBody arm{.name = "arm", .shape = Shape::box, .size = {0.4, 0.2, 0.2}};
  arm.position = {0, 0, 0.59};
  EngineBody ball{.name = "ball", .shape = Shape::sphere, .radius = 0.25};
  ball.position = {0, 0, 0.93};
  EngineBody pole{.name = "pole", .shape = Shape::capsule, .radius = 0.1, .length = 0.6};
  pole.position = {-1, 0, 0.39};
  EngineBody wheel{.name = "wheel", .shape = Shape::cylinder, .radius = 0.3, .length = 0.2};
  wheel.position = {0, 1, 0.09};
  wheel.velocity = {0.5, 0, 0};
  // Apart from those, the joints a host's world holds, so that a plug-in
  // that only behaves without them is seen: "lever" held level by a motor on
  // a hinge whose forces the host reads, "carriage" running into the stop of
  // its slider. No triangle mesh (crowded_engine_world() has one): the
  // engine's collider keeps caches in the mesh itself, so the checks that
  // ask about one pair on several threads at once, which no host does,
  // would find the engine's own race.
  EngineBody lever{.name = "lever", .shape = Shape::box, .size = {0.6, 0.1, 0.1}};
  lever.position = {2.3, 0, 1};
  EngineBody carriage{.name = "carriage", .shape = Shape::box, .size = {0.3, 0.3, 0.3}};
  carriage.position = {2, 2, 0.5};
  carriage.velocity = {0.3, 0, 0};
  engine.bodies = {arm, ball, pole, wheel, lever, carriage};
  EngineGeometry floor{.name = "floor", .shape = Shape::plane};
  EngineGeometry base{.name = "base", .shape = Shape::box, .size = {1, 1, 1}};
  base.position = {0, 0, 0};
  engine.geometries = {floor, base};
  tamrix_host::EngineJoint elbow{
      .name = "elbow", .type = tamrix_host::JointType::hinge, .first = "lever"};
  elbow.anchor = {2, 0, 1};
  elbow.axis = {0, 1, 0};
  elbow.limits = std::array<double, 2>{-1.6, 1.6};
  elbow.motor = tamrix_host::JointMotor{.velocity = 0, .max_force = 50};
  elbow.feedback = true;
  tamrix_host::EngineJoint rail{
      .name = "rail", .type = tamrix_host::JointType::slider, .first = "carriage"};
  rail.axis = {1, 0, 0};
  rail.limits = std::array<double, 2>{-0.5, 0.5};
  engine.joints = {elbow, rail};
  tamrix_host::World world;
  world.engine = engine;
  return world;
}

std::string checker_engine_world_text() {
  const tamrix_host::World world = checker_engine_world();
  const auto named = [](const auto &thing) {
    return thing.name + " (" + std::string(tamrix_host::shape_name(thing.shape)) + ")";
  };
  const auto joint = [](const tamrix_host::EngineJoint &joint) {
    return joint.name + " (" + std::string(tamrix_host::joint_type_name(joint.type)) + " of " +
           joint.first + (joint.motor ? ", driven" : "") +
           (joint.feedback ? ", its forces read" : "") + ")";
  };
  return "bodies " + tamrix_host::join(world.engine->bodies, ", ", named) +
         "; fixed geometries: " + tamrix_host::join(world.engine->geometries, ", ", named) +
         "; joints: " + tamrix_host::join(world.engine->joints, ", ", joint);
}

tamrix_host::World world_with_names(tamrix_host::World world,
                                    const std::vector<std::string> &bodies,
                                    const std::vector<std::string> &geometries) {
  const auto has = [](const std::vector<std::string> &names, const std::string &name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  if (!world.engine) {
    for (const std::string &name : bodies) {
      if (!has(world.bodies, name)) {
        world.bodies.push_back(name);
      }
    }
    for (const std::string &name : geometries) {
      if (!has(world.geometries, name)) {
        world.geometries.push_back(name);
      }
    }
    return world;
  }
  // A Host names an engine world's bodies and geometries itself, each body's
  // first geometry by the body's name.
  tamrix_host::Engine &engine = *world.engine;
  std::vector<std::string> taken = world.geometries;
  world.bodies.clear();
  world.geometries.clear();
  // Apart from plugin-check's own bodies and from each other, a row of them
  // behind the world, so that each touches the floor alone.
  constexpr double edge = 0.2;
  constexpr double apart = 0.5;
  double along = 0;
  const auto place = [&along] {
    along -= apart;
    return std::array<double, 3>{-4, along, edge / 2};
  };
  for (const std::string &name : bodies) {
    if (!has(taken, name)) {
      EngineBody body{.name = name, .shape = Shape::box, .size = {edge, edge, edge}, .mass = 0.5};
      body.position = place();
      engine.bodies.push_back(body);
      taken.push_back(name);
    }
  }
  for (const std::string &name : geometries) {
    if (!has(taken, name)) {
      EngineGeometry geometry{.name = name, .shape = Shape::box, .size = {edge, edge, edge}};
      geometry.position = place();
      engine.geometries.push_back(geometry);
      taken.push_back(name);
    }
  }
  return world;
}

namespace {

std::string read_world(const std::string &path, tamrix_host::World &world) {
  tamrix_host::WorldFile file;
  if (std::string problem = tamrix_host::read_world_file(path, file); !problem.empty()) {
    return problem;
  }
  world = tamrix_host::world_of(file);
  return {};
}

}  // namespace

std::string read_checked_world(const std::string &path, tamrix_host::World &world) {
  if (std::string problem = read_world(path, world); !problem.empty()) {
    return problem;
  }
  // The step and collide checks call collide with two of the world's own.
  const std::size_t geometries = world.engine
                                     ? world.engine->bodies.size() + world.engine->geometries.size()
                                     : world.geometries.size();
  if (geometries < 2) {
    return path + ": the checks need a world of at least two geometries";
  }
  try {
    const tamrix_host::Host host(world);
  } catch (const std::exception &error) {
    return path + ": " + error.what();
  }
  return {};
}

std::string world_argument(const std::string &world_file, bool engine) {
  if (!world_file.empty()) {
    return file_prefix + world_file;
  }
  return engine ? engine_argument : standard_argument;
}

tamrix_host::World world_from_argument(const std::string &argument) {
  if (argument == engine_argument) {
    return checker_engine_world();
  }
  if (argument.rfind(file_prefix, 0) == 0) {
    tamrix_host::World world;
    const std::string problem =
        read_world(argument.substr(std::string_view(file_prefix).size()), world);
    if (!problem.empty()) {
      throw tamrix_host::LoadError(problem);
    }
    return world;
  }
  return tamrix_host::World::standard();
}

namespace {

// The crowd's size, and its pile: five by five bodies in four layers.
constexpr int crowd = 100;
constexpr int crowd_side = 5;
// A cell of the pile, and how far apart the cells are: a little less, so
// that each body touches its neighbours and sinks into the floor below it.
constexpr double cell = 0.4;
constexpr double spacing = cell - 0.002;
// Each geometry of the standard kind collides with the next ones around
// the ring of geometries: a thousand pairs a step.
constexpr int ring_reach = 10;

std::string crowd_name(int index) { return "crowd" + std::to_string(index + 1); }

// The n-th body of the pile, of the shape its place gives it, every shape
// in every layer, each filling its cell: what the engine asks about a box
// it asks about a sphere and a cylinder too.
EngineBody crowd_body(int n) {
  const int column = n % crowd_side;
  const int row = n / crowd_side % crowd_side;
  const int layer = n / (crowd_side * crowd_side);
  // The first is "arm", the body the contract checks look up, so that a
  // plug-in that acts on it acts in the crowd too.
  EngineBody body{.name = n == 0 ? std::string("arm") : crowd_name(n)};
  switch ((column + row + layer) % 4) {
    case 0:
      body.shape = Shape::box;
      body.size = {cell, cell, cell};
      break;
    case 1:
      body.shape = Shape::sphere;
      body.radius = cell / 2;
      break;
    case 2:
      body.shape = Shape::capsule;
      body.radius = cell / 4;
      body.length = cell / 2;
      break;
    default:
      body.shape = Shape::cylinder;
      body.radius = cell / 2;
      body.length = cell;
      break;
  }
  const int middle = crowd_side / 2;
  body.position = {(column - middle) * spacing, (row - middle) * spacing,
                   cell / 2 - 0.001 + layer * spacing};
  // A little way each, so the pile shifts and its pairs change.
  body.velocity = {0.05 * (n % 3 - 1), 0.05 * (n % 5 - 2) / 2, 0};
  return body;
}

// A triangle mesh over the floor under the pile, tiles of two triangles
// each, so that the bottom layer rests on a mesh as well as on the plane.
// Here and not in the world of the checks on many threads: the engine's
// mesh collider keeps caches in the mesh itself, and this check asks on
// one thread, as a host does.
EngineGeometry ground_tiles() {
  constexpr int tiles = 6;
  constexpr double tile = cell;
  EngineGeometry ground{.name = "ground", .shape = Shape::mesh};
  const double from = -tiles * tile / 2;
  for (int row = 0; row <= tiles; ++row) {
    for (int column = 0; column <= tiles; ++column) {
      ground.vertices.push_back({from + column * tile, from + row * tile, 0});
    }
  }
  for (unsigned row = 0; row < tiles; ++row) {
    for (unsigned column = 0; column < tiles; ++column) {
      const unsigned corner = row * (tiles + 1) + column;
      ground.triangles.push_back({corner, corner + 1, corner + tiles + 2});
      ground.triangles.push_back({corner, corner + tiles + 2, corner + tiles + 1});
    }
  }
  return ground;
}

}  // namespace

tamrix_host::World crowded_engine_world() {
  tamrix_host::Engine engine;
  // The quick solver, and few of its rounds: the exact one factorises the
  // whole pile's contacts at every step, which a check of this size does
  // not afford, and the pile need only hold together, not rest precisely.
  engine.solver = tamrix_host::Solver::quick;
  engine.iterations = 10;
  for (int n = 0; n < crowd; ++n) {
    engine.bodies.push_back(crowd_body(n));
  }
  engine.geometries = {EngineGeometry{.name = "floor", .shape = Shape::plane}, ground_tiles()};
  tamrix_host::World world;
  world.engine = engine;
  return world;
}

tamrix_host::World crowded_world() {
  tamrix_host::World world = tamrix_host::World::standard();
  for (int n = static_cast<int>(world.bodies.size()); n < crowd; ++n) {
    world.bodies.push_back(crowd_name(n));
  }
  for (int n = static_cast<int>(world.geometries.size()); n < crowd; ++n) {
    world.geometries.push_back(crowd_name(n));
  }
  std::vector<tamrix_host::GeometryPair> pairs;
  for (int n = 0; n < crowd; ++n) {
    for (int next = 1; next <= ring_reach; ++next) {
      pairs.push_back({world.geometries[static_cast<std::size_t>(n)],
                       world.geometries[static_cast<std::size_t>((n + next) % crowd)]});
    }
  }
  world.collide_pairs = std::move(pairs);
  return world;
}

}  // namespace plugin_check
