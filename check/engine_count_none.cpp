// A DLL binds to the engine's DLL itself, past anything this program
// defines, so nothing is counted here; the check that reads it is made only
// where it can be (registry.hpp).
#include "engine_count.hpp"

namespace plugin_check {

EngineCount::EngineCount() : bodies_(0), spaces_(0), groups_(0) {}

std::string EngineCount::left() const { return {}; }

}  // namespace plugin_check
