// Threads the C library starts for itself, once per process, on behalf of
// whoever asks first: they are the C library's, and stay whatever the caller
// does after. Started before a plug-in is watched, they are part of the
// process the host had, never counted as the plug-in's.
#pragma once

namespace plugin_check {

// Has the C library start its helper threads now, where it has any.
void start_library_helpers();

}  // namespace plugin_check
