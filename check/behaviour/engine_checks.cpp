// The world left as the host owns it: a snapshot of the whole engine world,
// one table of fields (engine_snapshot.hpp), compared around every call a
// host makes, so whatever a plug-in changes of it is named with the hook,
// even a field no one thought to list as a fault.
#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/judges.hpp"
#include "behaviour/watched_life.hpp"
#include "engine/engine_count.hpp"
#include "engine/engine_snapshot.hpp"
#include "engine/engine_twin.hpp"

namespace plugin_check {
namespace {

// The world over one life: each call's changes to what only the host may
// change, and, for what the plug-in's own objects change while they live,
// the call from which it has differed from the start.
struct WorldWatch {
  WorldSnapshot start;
  WorldSnapshot before;
  std::string held_since;  // the call from which the held rows differ, or empty

  // The failure that names `hook` and what it changed, or empty.
  std::string changed_by(const char *hook, const Host &host) {
    WorldSnapshot now = snapshot_world(host);
    // Told in full, held rows too, once anything else changed.
    std::string changes =
        differences_in(before, now, false).empty() ? std::string() : differences(before, now);
    if (differences_in(start, now, true).empty()) {
      held_since.clear();
    } else if (held_since.empty()) {
      held_since = hook;
    }
    before = std::move(now);
    return changes.empty() ? changes : std::string(hook) + " changed " + changes;
  }
};

// A short life as a host runs it, the engine stepped after each step's
// collides.
void host_steps_a_life(const Plugin &plugin, Host &host) {
  host.set_up(plugin);
  host.init(plugin);
  (void)host.get_body(plugin, "arm");
  for (int step = 0; step < 3; ++step) {
    host.step(plugin);
  }
  host.cleanup(plugin);
}

// One life watched call by call; the failure, or empty.
std::string changes_in_a_life(const Plugin &plugin, Host &host) {
  WorldWatch watch{snapshot_world(host), snapshot_world(host), {}};
  std::string change;
  const auto fault = [&](const char *hook) {
    change = watch.changed_by(hook, host);
    return !change.empty();
  };
  host.set_up(plugin);
  if (fault("physics_special_init")) {
    return change;
  }
  host.init(plugin);
  if (fault(hook::init.name)) {
    return change;
  }
  (void)host.get_body(plugin, "arm");
  if (fault(hook::get_body.name)) {
    return change;
  }
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  // The bodies' geometries come first; two fixed ones a host never asks about.
  const std::size_t moving = host.world().bodies.size();
  for (int round = 0; round < 3; ++round) {
    plugin.call(hook::step);
    if (fault(hook::step.name)) {
      return change;
    }
    // Every pair a host could ask about; the host then empties its group, so
    // whatever is left was made outside it.
    for (std::size_t i = 0; i < geometries.size(); ++i) {
      for (std::size_t j = std::max(i + 1, moving); j < geometries.size(); ++j) {
        (void)plugin.call(hook::collide, geometries[i], geometries[j]);
        empty_contact_group(host.contact_group());
        if (fault(hook::collide.name)) {
          return change + " (after the host emptied its contact group)";
        }
      }
    }
  }
  host.cleanup(plugin);
  if (fault(hook::cleanup.name)) {
    return change;
  }
  // Joints on the host's bodies and geometries in its space may be the
  // plug-in's from init to cleanup; after cleanup they are left behind.
  if (!watch.held_since.empty()) {
    std::string left =
        watch.held_since + " changed " + differences_in(watch.start, watch.before, true);
    if (watch.held_since == hook::collide.name) {
      left += " (after the host emptied its contact group)";
    }
    return left + ", still so after tamrix_physics_cleanup";
  }
  return {};
}

}  // namespace

Outcome world_left_as_found(const Plugin &plugin, Host &host) {
  if (host.engine_world() == nullptr) {
    return skipped("the world has no engine part: the plug-in needs no engine");
  }
  if (std::string change = changes_in_a_life(plugin, host); !change.empty()) {
    return failed(change);
  }
  // A plug-in that sets a field to the engine's default changes nothing in
  // a world that kept the defaults; a host's world need not have.
  turn_settings_over(host);
  if (std::string change = changes_in_a_life(plugin, host); !change.empty()) {
    return failed(
        "in a second life, with the world's settings turned from the engine's "
        "defaults, " +
        change);
  }
  return passed();
}

const Registration world_left_as_found_check{{
    .name = "world-left-as-found",
    .proves = "no hook changes the engine world the host owns: its settings, bodies, geometries, "
              "space and the engine's handlers, and makes no contacts outside the host's group",
    .fix = "change only what you made in the engine, and put contacts only in the host's group",
    .group = Group::engine,
    .run = world_left_as_found,
}};

// Long enough for a changed joint or contact to show in any body it holds,
// short enough to cost nothing beside the other engine checks.
constexpr int twin_steps = 200;

Outcome world_moves_as_twin(const Plugin &plugin, Host &host) {
  if (host.engine_world() == nullptr) {
    return skipped("the world has no engine part: the plug-in needs no engine");
  }
  host_steps_a_life(plugin, host);
  const tamrix_host::Running running("the host's steps after tamrix_physics_cleanup");
  if (const std::string apart = apart_from_twin(host, twin_steps); !apart.empty()) {
    return failed("after tamrix_physics_cleanup " + apart +
                  ": a setting of the host's world was left changed");
  }
  return passed();
}

const Registration world_moves_as_twin_check{{
    .name = "world-moves-as-twin",
    .proves = "after cleanup the host's world moves as a twin of it that no plug-in touched, "
              "from the same poses and speeds, whatever setting a plug-in could have left",
    .fix = "put back every setting of the host's world you change, joints and geometries "
           "included, before cleanup returns",
    .group = Group::engine,
    .run = world_moves_as_twin,
}};

Outcome world_after_unload(const std::string &path, Host &host) {
  if (host.engine_world() == nullptr) {
    return skipped("the world has no engine part: the plug-in needs no engine");
  }
  {
    std::unique_ptr<const Plugin> plugin = load_plugin(path);
    std::ostringstream sink;
    tamrix_host::run_life(*plugin, host, 3, {"arm"}, sink);
    unload_plugin(plugin);
  }
  // A callback or handler left pointing into the plug-in's code is unmapped
  // now: the host's next steps call it.
  const tamrix_host::Running running("the host's steps after the plug-in was unloaded");
  for (int step = 0; step < 10; ++step) {
    host.step_without_plugin();
  }
  return passed();
}

const Registration world_after_unload_check{{
    .name = "world-after-unload",
    .proves = "after cleanup and unload the host steps its engine world on without a crash",
    .fix = "clear every callback and handler you set in the engine before cleanup returns",
    .group = Group::engine,
    .crash_context = " (a callback or handler the plug-in set in the engine, such as a body's "
                     "moved callback, points into its unloaded code)",
    .run_loading = world_after_unload,
}};

Outcome nothing_left_in_world(const Plugin &plugin, Host &host) {
  if (host.engine_world() == nullptr) {
    return skipped("the world has no engine part: the plug-in needs no engine");
  }
  const EngineMade start = engine_made_now();
  host_steps_a_life(plugin, host);
  if (const std::string left = engine_left_since(start); !left.empty()) {
    return failed("after tamrix_physics_cleanup the plug-in had left " + left +
                  " of its own in the host's engine; a host's world holds what the host made");
  }
  return passed();
}

const Registration nothing_left_in_world_check{{
    .name = "nothing-left-in-world",
    .proves = "after cleanup no body, space or joint group the plug-in made is left in the engine",
    .fix = "destroy every body, space and joint group you make before cleanup returns",
    .level = Level::warning,
    .platforms = Platforms::linux_only,
    .group = Group::engine,
    .elsewhere = "a DLL calls the engine's DLL directly, where plugin-check cannot count what it "
                 "makes",
    .run = nothing_left_in_world,
}};

}  // namespace plugin_check
