// A DLL binds to the engine's DLL itself, past anything this program
// defines, so nothing is counted or watched here; the check that reads the
// count runs on Linux only, and contacts are read by the bodies they join.
#include "engine/contact_watch.hpp"
#include "engine/engine_count.hpp"

namespace plugin_check {

bool watch_group(dJointGroupID /*group*/) { return false; }

std::vector<MadeContact> stop_watching() { return {}; }

EngineMade engine_made_now() { return {}; }

std::string engine_left_since(const EngineMade & /*start*/) { return {}; }

}  // namespace plugin_check
