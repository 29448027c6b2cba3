// The C runtime keeps no helper thread of its own for what a plug-in may ask
// of it, so there is nothing to start first.
#include "observe/library_threads.hpp"

namespace plugin_check {

void start_library_helpers() {}

}  // namespace plugin_check
