// The contacts made in one joint group while it is watched, by what they
// hold: the engine keeps no reader of a contact joint's contents, so the
// program defines the engine's dJointCreateContact itself and keeps a copy
// of each, where its definition stands in front of the engine's (not for a
// DLL, which binds to the engine's DLL directly).
#pragma once

#include <ode/ode.h>

#include <vector>

namespace plugin_check {

struct MadeContact {
  dJointID joint;
  dContact contact;
};

// Starts keeping the contacts made in `group`, forgetting any kept before;
// false where they cannot be seen.
bool watch_group(dJointGroupID group);
// What was kept since, the first few thousand at most, and stops keeping.
std::vector<MadeContact> stop_watching();

}  // namespace plugin_check
