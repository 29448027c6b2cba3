// Counting the heap calls a plug-in makes, where the build can.
#pragma once

#include <string>

namespace plugin_check {

// False, with the reason, where this build cannot count.
bool heap_counting_available(std::string &why_not);

// Starts counting from zero (true) or stops (false).
void count_heap(bool on);

// malloc, calloc and realloc calls since counting last started.
long heap_calls();

}  // namespace plugin_check
