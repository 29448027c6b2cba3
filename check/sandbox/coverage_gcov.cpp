// The gcov runtime's own entry points, present in every program built with
// --coverage.
#include "sandbox/coverage.hpp"

extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier)
void __gcov_reset();
void __gcov_dump();
// NOLINTEND(bugprone-reserved-identifier)
}

namespace plugin_check::sandbox {

void coverage_child_started() { __gcov_reset(); }

void coverage_flush() { __gcov_dump(); }

}  // namespace plugin_check::sandbox
