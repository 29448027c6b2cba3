// A world of a hundred bodies. plugin-check's other worlds are small, and
// faults hide behind a world that never grows: a table of 64 bodies or
// geometries, a stack array sized for a few, a collide that overflows a
// buffer once a step has hundreds of candidate pairs. This check runs a
// whole life in a crowded world of the kind the run gives, with or without
// the engine, whatever world file the author gave: theirs is one size, and
// this is another.
#include <ode/ode.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "engine/engine_answers.hpp"
#include "engine/engine_snapshot.hpp"
#include "run/worlds.hpp"

namespace plugin_check {
namespace {

// A few hundred steps: enough for a plug-in's tables to fill and the pile
// to shift, so that pairs come and go.
constexpr long crowded_steps = 200;

tamrix_host::World crowd_of_its_kind(const tamrix_host::World &given) {
  return given.engine ? crowded_engine_world() : crowded_world();
}

std::string at_step(long step) {
  return "at step " + std::to_string(step) + " of " + std::to_string(crowded_steps) +
         " in plugin-check's crowded world";
}

// Every collide of one step, named once for all: a name for each call
// would cost the check a message to the parent per call. Without the
// engine, the world's pairs in their order; with it, the pairs the engine
// finds, as a host asks; how many it asked.
using Pairs = std::vector<std::pair<tamrix_geom_handle, tamrix_geom_handle>>;

long collide_pairs(const Plugin &plugin, const Pairs &pairs) {
  const tamrix_host::Running running(hook::collide.name);
  for (const auto &[first, second] : pairs) {
    (void)plugin.call(hook::collide.unnamed(), first, second);
  }
  return static_cast<long>(pairs.size());
}

long collide_candidates(const Plugin &plugin, const Host &host) {
  struct Pass {
    const Plugin &plugin;
    long asked = 0;
  } pass{plugin};
  dAllocateODEDataForThread(static_cast<unsigned>(dAllocateMaskAll));
  const tamrix_host::Running running(hook::collide.name);
  dSpaceCollide(static_cast<dSpaceID>(host.engine_space()), &pass,
                [](void *data, dGeomID first, dGeomID second) {
                  // Two fixed geometries never move apart or together: no host asks.
                  if (dGeomGetBody(first) == nullptr && dGeomGetBody(second) == nullptr) {
                    return;
                  }
                  Pass &pass = *static_cast<Pass *>(data);
                  ++pass.asked;
                  (void)pass.plugin.call(
                      hook::collide.unnamed(),
                      static_cast<tamrix_geom_handle>(static_cast<void *>(first)),
                      static_cast<tamrix_geom_handle>(static_cast<void *>(second)));
                });
  return pass.asked;
}

// One step of the engine world: step, then collide for each candidate pair,
// the pushes and contacts each leaves read before the engine steps with
// them, which it cannot do with a NaN (it stops the process). The engine
// then steps with the host's own contacts, the plug-in's dropped; the
// failure, or empty.
std::string engine_step(const Plugin &plugin, Host &host, long step, long &asked) {
  plugin.call(hook::step);
  const std::string where = at_step(step) + ",";
  if (std::string fault = pushes_not_finite(read_bodies(host), "tamrix_physics_step, " + where);
      !fault.empty()) {
    return fault;
  }
  watch_contacts(host);
  asked = collide_candidates(plugin, host);
  if (std::string fault = contacts_not_finite(host); !fault.empty()) {
    return "tamrix_physics_collide, " + where + " made " + fault;
  }
  if (std::string fault = pushes_not_finite(read_bodies(host), "tamrix_physics_collide, " + where);
      !fault.empty()) {
    return fault;
  }
  empty_contact_group(host.contact_group());
  {
    const tamrix_host::Running running(
        "the engine's step after tamrix_physics_step and tamrix_physics_collide");
    host.step_without_plugin();
  }
  return {};
}

Outcome crowded_world(const Plugin &plugin, Host &host) {
  const bool engine = host.engine_world() != nullptr;
  Pairs pairs;
  if (!engine && host.world().collide_pairs) {
    for (const tamrix_host::GeometryPair &pair : *host.world().collide_pairs) {
      pairs.emplace_back(host.geometry(pair.first), host.geometry(pair.second));
    }
  }
  host.set_up(plugin);
  host.init(plugin);
  long most_pairs = 0;
  for (long step = 1; step <= crowded_steps; ++step) {
    note(at_step(step) + " of " + std::to_string(host.world().bodies.size()) + " bodies");
    long asked = 0;
    if (engine) {
      if (std::string fault = engine_step(plugin, host, step, asked); !fault.empty()) {
        return failed(fault);
      }
    } else {
      plugin.call(hook::step);
      asked = collide_pairs(plugin, pairs);
    }
    host.advance_time(host.world().step_seconds);
    most_pairs = std::max(most_pairs, asked);
  }
  note("after " + std::to_string(crowded_steps) + " steps of plugin-check's crowded world, of " +
       std::to_string(most_pairs) + " collide pairs at most a step");
  host.cleanup(plugin);
  return passed();
}

const Registration crowded_world_check{{
    .name = "crowded-world",
    .proves = "a life of 200 steps in a world of 100 bodies, of hundreds of collide pairs a step, "
              "over a triangle mesh in an engine world, plugin-check's own of the run's kind "
              "whatever --world gave, neither crashes nor hangs, nor in an engine world leaves "
              "pushes or contacts that are not finite",
    .fix = "size every table and buffer by what the host's world holds, not by a count of bodies "
           "or pairs you expect, check each index before you use it, and handle every kind of "
           "geometry a world may hold",
    .group = Group::crowded,
    .crash_context = " (hundreds of collide pairs a step, over 100 bodies: a table or buffer sized "
                     "for fewer overflows here)",
    .world = crowd_of_its_kind,
    .run = crowded_world,
}};

}  // namespace
}  // namespace plugin_check
