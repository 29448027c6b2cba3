// A world that holds the names the plug-in asks for. plugin-check's worlds
// lack the names a plug-in was written for ("body1", its robot's links), so
// the code it runs once it finds them never ran in a check. A life learns
// the names it looked up and did not find; the host then loads a world with
// a body or a geometry of each, and the judges of the process, the heap and
// the engine's world look at lives in it.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/judges.hpp"
#include "behaviour/watched_life.hpp"
#include "observe/process_state.hpp"
#include "programs/join.hpp"
#include "run/worlds.hpp"
#include "sandbox/console.hpp"

namespace plugin_check {
namespace {

// A plug-in that asks for names without end gets a world of this many.
constexpr std::size_t most_names = 32;
// Longer names are made all the same; the report shows this much of each.
constexpr std::size_t shown_length = 40;

struct Missed {
  std::vector<std::string> bodies;
  std::vector<std::string> geometries;

  [[nodiscard]] bool empty() const { return bodies.empty() && geometries.empty(); }
  [[nodiscard]] std::size_t size() const { return bodies.size() + geometries.size(); }

  void add(bool body, const std::string &name) {
    std::vector<std::string> &names = body ? bodies : geometries;
    if (size() < most_names && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
    }
  }
};

// A life as a host runs it; the plug-in is unloaded after it, as a host
// unloads it between simulations.
void host_life(const std::string &path, Host &host) {
  const long threads_before = snapshot(Aspect::threads).threads();
  std::unique_ptr<const Plugin> plugin = load_plugin(path);
  host.set_up(*plugin);
  host.init(*plugin);
  (void)host.get_body(*plugin, "arm");
  for (int step = 0; step < 3; ++step) {
    host.step(*plugin);
  }
  host.cleanup(*plugin);
  unload_unless_running(plugin, threads_before);
}

// Adds the names the host's lookups have not found so far, each once, in
// the order asked.
void add_missed(const Host &host, Missed &missed) {
  for (const tamrix_host::BodyLookup &lookup : host.body_lookups()) {
    if (!lookup.found && lookup.name_pointer != nullptr) {
      missed.add(true, lookup.name);
    }
  }
  for (const tamrix_host::GeomLookup &lookup : host.geom_lookups()) {
    if (!lookup.found && lookup.name != "(null)") {
      missed.add(false, lookup.name);
    }
  }
}

std::string shown(const std::string &name) {
  std::string text = "\"" + name.substr(0, shown_length);
  return text +
         (name.size() > shown_length ? "...\" (" + std::to_string(name.size()) + " bytes)" : "\"");
}

// As `body "body1", geometry "tip"`.
std::string listed(const Missed &missed) {
  std::vector<std::string> parts;
  for (const std::string &name : missed.bodies) {
    parts.push_back("body " + shown(name));
  }
  for (const std::string &name : missed.geometries) {
    parts.push_back("geometry " + shown(name));
  }
  return tamrix_host::join(parts, ", ");
}

// What the report says first of each finding in such a world.
std::string in_a_world_of(const Missed &missed) {
  return "in a world that holds the " + listed(missed) +
         " it looked up and the first world lacked, ";
}

// Lives, each in a world that holds what the lives before it looked up and
// did not find, until one finds all it asks for: a plug-in may ask for a
// body's parts only once it has found the body. At most this many.
constexpr int most_worlds = 3;

// The process as the first life in a world of its names found it: what any
// life there leaves is judged against it.
Missed load_a_world_of_its_names(const std::string &path, Host &host, ProcessState &found) {
  const tamrix_host::World given = host.world();
  Missed missed;
  for (int world = 0; world < most_worlds; ++world) {
    note(world == 0 ? "a life in the world the run was given"
                    : in_a_world_of(missed) + "a life as a host runs it");
    const std::size_t known = missed.size();
    host_life(path, host);
    add_missed(host, missed);
    if (missed.size() == known) {
      break;
    }
    if (known == 0) {
      found = snapshot();
    }
    host.new_world(world_with_names(given, missed.bodies, missed.geometries));
  }
  return missed;
}

// The process before the lives in the world of its names against after the
// last unload, once more over a life with the stand-ins, which now find the
// names too.
std::string process_changes(const std::string &path, Host &host, const ProcessState &before) {
  const auto moments = watched_life<9>(
      path, host, 3, [] { return snapshot(); },
      [](const Plugin &plugin, auto tag, auto... args) { plugin.call(tag, args...); });
  if (!unloaded(moments)) {
    return {};  // a thread of the plug-in still runs: threads-left names it
  }
  std::vector<std::string> changes;
  for (const Change &change : difference(before, moments.back().seen)) {
    if (change.aspect != Aspect::descriptors) {  // a warning of descriptors-left's
      changes.push_back(change.text);
    }
  }
  return changes.empty() ? std::string()
                         : "a life " + tamrix_host::join(changes, ", ") + ", still so after unload";
}

// The stand-ins answer with the world's handles, in a world without an
// engine too: they are what the plug-in looked for, and only its own code
// could fault on one. The contact group stays the engine's alone.
void stand_ins_answer_from(const Host &host) {
  engine_stubs = EngineStubs{};
  engine_stubs.fill(host);
  if (host.engine_world() == nullptr) {
    engine_stubs.group = nullptr;
  }
}

}  // namespace

Outcome names_found(const std::string &path, Host &host) {
  sandbox::capture_console();
  fresh_standard_streams();
  Missed missed;
  ProcessState before;
  try {
    missed = load_a_world_of_its_names(path, host, before);
  } catch (const std::invalid_argument &error) {
    return skipped("a world with the names it looked up cannot be made: " +
                   std::string(error.what()));
  }
  if (missed.empty()) {
    return passed();
  }
  stand_ins_answer_from(host);
  const std::string where = in_a_world_of(missed);
  note(where + "a life with the process read before the load and after the unload");
  if (std::string changes = process_changes(path, host, before); !changes.empty()) {
    return failed(where + changes);
  }
  note(where + "lives with the heap counted, and the engine's world watched");
  std::unique_ptr<const Plugin> plugin = load_plugin(path);
  if (host.engine_world() != nullptr) {
    // Built again, so that what the life above changed of it is not taken
    // for how the host left it.
    host.new_world();
    stand_ins_answer_from(host);
    if (const Outcome world = world_left_as_found(*plugin, host); world.verdict == Verdict::fail) {
      return failed(where + world.reason);
    }
  }
  if (const Outcome heap = heap_balanced(*plugin, host); heap.verdict == Verdict::fail) {
    return {Verdict::warn, where + heap.reason};  // a leak is a warning, as heap-balanced says
  }
  unload_plugin_at_the_end(plugin);
  return passed();
}

const Registration names_found_check{{
    .name = "names-found",
    .proves = "in a world that holds every body and geometry it looked up and did not find "
              "(\"body1\", say), its lives leave the process, the heap and the engine's world as "
              "they found them",
    .fix = "treat a body the host has as you treat one it lacks: leave the process, the heap and "
           "the world as you found them",
    .group = Group::names,
    .run_loading = names_found,
}};

}  // namespace plugin_check
