// Defined in the program and exported, these take the place of the engine's
// own for every caller, the plug-in included; each counts, then calls the
// engine's, found after this program in the loader's order.
#include <dlfcn.h>
#include <ode/ode.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "engine/contact_watch.hpp"
#include "engine/engine_count.hpp"

namespace {

std::atomic<long> bodies_made{0};
std::atomic<long> spaces_made{0};
std::atomic<long> groups_made{0};

template <typename Function>
Function *engine_function(const char *name) {
  void *found = dlsym(RTLD_NEXT, name);
  Function *function = nullptr;
  static_assert(sizeof(found) == sizeof(function));
  __builtin_memcpy(&function, &found, sizeof(function));
  return function;
}

#define FORWARD(name) static auto *const real = engine_function<decltype(::name)>(#name)

// Made before the watched calls, so keeping a contact allocates nothing and
// takes no lock: a lock here would order the plug-in's own unguarded calls.
constexpr std::size_t most_kept = 16384;
std::vector<plugin_check::MadeContact> kept;
std::atomic<std::size_t> next_kept{0};
std::atomic<dJointGroupID> watched{nullptr};

}  // namespace

extern "C" {

dBodyID dBodyCreate(dWorldID world) {
  FORWARD(dBodyCreate);
  ++bodies_made;
  return real(world);
}

void dBodyDestroy(dBodyID body) {
  FORWARD(dBodyDestroy);
  --bodies_made;
  real(body);
}

dSpaceID dSimpleSpaceCreate(dSpaceID space) {
  FORWARD(dSimpleSpaceCreate);
  ++spaces_made;
  return real(space);
}

dSpaceID dHashSpaceCreate(dSpaceID space) {
  FORWARD(dHashSpaceCreate);
  ++spaces_made;
  return real(space);
}

void dSpaceDestroy(dSpaceID space) {
  FORWARD(dSpaceDestroy);
  --spaces_made;
  real(space);
}

dJointGroupID dJointGroupCreate(int max_size) {
  FORWARD(dJointGroupCreate);
  ++groups_made;
  return real(max_size);
}

void dJointGroupDestroy(dJointGroupID group) {
  FORWARD(dJointGroupDestroy);
  --groups_made;
  real(group);
}

dJointID dJointCreateContact(dWorldID world, dJointGroupID group, const dContact *contact) {
  FORWARD(dJointCreateContact);
  dJointID joint = real(world, group, contact);
  if (group != nullptr && group == watched.load(std::memory_order_relaxed) && contact != nullptr) {
    if (const std::size_t at = next_kept++; at < kept.size()) {
      kept[at] = {joint, *contact};
    }
  }
  return joint;
}

}  // extern "C"

namespace plugin_check {

bool watch_group(dJointGroupID group) {
  watched = nullptr;
  kept.resize(most_kept);
  next_kept = 0;
  watched = group;
  return true;
}

std::vector<MadeContact> stop_watching() {
  watched = nullptr;
  std::vector<MadeContact> made(
      kept.begin(),
      kept.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(next_kept, kept.size())));
  next_kept = 0;
  return made;
}

EngineMade engine_made_now() { return {bodies_made, spaces_made, groups_made}; }

std::string engine_left_since(const EngineMade &start) {
  std::string text;
  const auto add = [&text](long count, const char *one, const char *many) {
    if (count > 0) {
      text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + (count == 1 ? one : many);
    }
  };
  add(bodies_made - start.bodies, "body", "bodies");
  add(spaces_made - start.spaces, "space", "spaces");
  add(groups_made - start.groups, "joint group", "joint groups");
  return text;
}

}  // namespace plugin_check
