// The threads of this process, each by its id, and those the C library
// starts for itself, once per process, on behalf of whoever asks first: they
// are the C library's, and stay whatever the caller does after. Started
// before a plug-in is watched, they are part of the process the host had,
// never counted as the plug-in's.
#pragma once

#include <vector>

namespace plugin_check {

// The ids of this process's threads now, sorted; empty where the system
// does not list them.
std::vector<long> thread_ids();

// Has the C library start its helper threads now, where it has any.
void start_library_helpers();

}  // namespace plugin_check
