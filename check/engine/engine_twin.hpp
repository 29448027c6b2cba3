// A twin of the host's engine world, built afresh from the same description:
// no plug-in ever touched it. The host's bodies are set to stand and move as
// the twin's, and both are stepped alike; whatever a plug-in left changed in
// the world, read back by a row of the snapshot or not (a joint's anchor or
// axis, a hinge's zero, how the space sorts its pairs), moves them apart.
#pragma once

#include <string>

#include "tamrix_host.hpp"

namespace plugin_check {

// How the host's world moved apart from its twin over `steps` steps: the
// bodies first apart, the step, and where the first of them ended beside its
// twin; empty when every body moved as its twin to the last bit. Bodies gone
// from the world are another check's finding: then it says nothing.
std::string apart_from_twin(tamrix_host::Host &host, int steps);

}  // namespace plugin_check
