#include "sandbox/coverage.hpp"

namespace plugin_check::sandbox {

void coverage_child_started() {}

void coverage_flush() {}

}  // namespace plugin_check::sandbox
