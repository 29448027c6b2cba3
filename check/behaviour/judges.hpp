// Checks whose judging a later check makes again, in a world of its own:
// each takes the plug-in loaded and the host whose world it judges.
#pragma once

#include "behaviour/behaviour.hpp"

namespace plugin_check {

Outcome heap_balanced(const Plugin &plugin, Host &host);
Outcome world_left_as_found(const Plugin &plugin, Host &host);

}  // namespace plugin_check
