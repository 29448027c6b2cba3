// What the plug-in makes in the engine and never destroys: the engine's
// functions that make and destroy bodies, spaces and joint groups are
// defined by this program too, counting and forwarding to the engine's, so a
// plug-in's calls are counted wherever it binds to this program's names.
#pragma once

#include <string>

namespace plugin_check {

class EngineCount {
 public:
  EngineCount();  // counts from here
  // What was made since and not destroyed, e.g. "1 body, 1 joint group";
  // empty when nothing.
  [[nodiscard]] std::string left() const;

 private:
  long bodies_;
  long spaces_;
  long groups_;
};

}  // namespace plugin_check
