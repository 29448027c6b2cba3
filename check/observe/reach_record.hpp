// What the reach wrappers (reach_calls_glibc.cpp) ask of the watch. Kept free
// of the C library's headers, which declare the very functions the wrappers
// define with other noexcept and attribute markings.
#pragma once

namespace plugin_check::reach_record {

enum class How { resolves, opens, calls };

// The definition the C library (or the first library after this program)
// gives `name`, found without calling anything this program wraps; null if none.
void *next_definition(const char *name);

// Counts `name` when the call came from the plug-in's code: `caller` (the
// wrapper's return address) lies in the plug-in, or is where the plug-in
// function the thread runs returns to, as after that function's tail call.
// Never allocates.
void note(How how, const char *name, const void *caller);

}  // namespace plugin_check::reach_record
