// What the long lives share: the checks of long_life_checks.cpp,
// overlap_checks.cpp and after_unload_checks.cpp.
#pragma once

#include <algorithm>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "engine/engine_snapshot.hpp"
#include "observe/process_state.hpp"

namespace plugin_check {

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
