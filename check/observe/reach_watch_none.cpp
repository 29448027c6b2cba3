// Where the plug-in does not bind to this program's functions, nothing it
// calls can be watched; CMake says why for the build (a sanitizer's runtime
// stands in front of the C library itself).
#include "observe/reach_watch.hpp"

// The build names its reason; a tool that reads this file on its own gets one.
#ifndef REACH_UNWATCHED_WHY
#define REACH_UNWATCHED_WHY "the plug-in's calls are not watched in this build"
#endif

namespace plugin_check {

const char *const reach_unwatched = REACH_UNWATCHED_WHY;
const char *const reach_partly_unwatched = nullptr;

bool watch_reach(const void * /*inside*/, std::string &why_not) {
  why_not = reach_unwatched;
  return false;
}

void reach_in_hook(const char * /*hook*/, const void * /*returns_to*/) {}

std::vector<Reached> reach_watched() { return {}; }

}  // namespace plugin_check
