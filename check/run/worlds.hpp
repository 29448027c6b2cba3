// The worlds the behaviour checks run in: the fixture's standard world for a
// plug-in that needs no engine, an engine world of plugin-check's own for one
// that does, or the author's own world file for either.
#pragma once

#include <string>
#include <vector>

#include "tamrix_host.hpp"

namespace plugin_check {

// A floor, a block and a body of each shape, some touching, so that collide
// is asked about pairs with contacts to make.
tamrix_host::World checker_engine_world();

// What --help says of that world: each body and geometry by name and shape.
std::string checker_engine_world_text();

// `world` with a body for each of `bodies` and a geometry for each of
// `geometries` that it lacks: in an engine world small boxes resting apart
// on the floor, a body's own geometry answering for a geometry of its name.
tamrix_host::World world_with_names(tamrix_host::World world,
                                    const std::vector<std::string> &bodies,
                                    const std::vector<std::string> &geometries);

// Reads the world file at `path` as host-sim does, leaving its expectations
// out, and builds it once, so a world the engine refuses is known before the
// run; the one-line reason it cannot be used, or empty.
std::string read_checked_world(const std::string &path, tamrix_host::World &world);

// How the parent names a child's world on its command line, and how the
// child gets it back: the standard world, plugin-check's engine world, or a
// world file (read already, so it reads again).
std::string world_argument(const std::string &world_file, bool engine);
tamrix_host::World world_from_argument(const std::string &argument);

// A crowd, for the faults that hide behind a world that never grows: 100
// bodies of every shape piled four high on a floor, each touching its
// neighbours, so that each step has hundreds of candidate pairs and contacts
// (solved by the quick solver); and the standard world's kind with 100 bodies
// and 100 geometries, each collided with the next ten around their ring.
tamrix_host::World crowded_engine_world();
tamrix_host::World crowded_world();

}  // namespace plugin_check
