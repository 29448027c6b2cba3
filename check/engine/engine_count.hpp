// What the plug-in makes in the engine and never destroys: the engine's
// functions that make and destroy bodies, spaces and joint groups are
// defined by this program too, counting and forwarding to the engine's, so a
// plug-in's calls are counted wherever it binds to this program's names.
#pragma once

#include <string>

namespace plugin_check {

// Made and not yet destroyed, over the whole process.
struct EngineMade {
  long bodies = 0;
  long spaces = 0;
  long groups = 0;
};

[[nodiscard]] EngineMade engine_made_now();

// What was made since `start` and not destroyed, e.g. "1 body, 1 joint
// group"; empty when nothing.
[[nodiscard]] std::string engine_left_since(const EngineMade &start);

}  // namespace plugin_check
