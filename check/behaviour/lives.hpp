// What the long lives share: the checks of long_life_checks.cpp,
// overlap_checks.cpp and after_unload_checks.cpp.
#pragma once

#include <algorithm>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "engine/engine_snapshot.hpp"
#include "observe/process_state.hpp"

namespace plugin_check {

// Whether a thread started since `before` still runs at `after`: a library
// unloaded under it would crash it, so such a plug-in stays loaded
// (threads-left reports it).
inline bool thread_left(const ProcessState &before, const ProcessState &after) {
  return before.threads() >= 0 && after.threads() >= 0 && after.threads() != before.threads();
}

// The changes of `now` that are not among `already`: what two snapshots
// already told apart before is no change.
inline std::vector<Change> changes_since(const std::vector<Change> &already,
                                         const std::vector<Change> &now) {
  std::vector<Change> fresh;
  for (const Change &change : now) {
    const bool old = std::any_of(already.begin(), already.end(), [&change](const Change &known) {
      return known.aspect == change.aspect && known.text == change.text;
    });
    if (!old) {
      fresh.push_back(change);
    }
  }
  return fresh;
}

}  // namespace plugin_check
