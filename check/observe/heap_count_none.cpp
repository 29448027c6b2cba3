// Builds where replacing malloc is not possible or would fight the
// sanitizers' own replacement.
#include "observe/heap_count.hpp"

namespace plugin_check {

bool heap_counting_available(std::string &why_not) {
  why_not =
      "heap calls are counted only on Linux with glibc, in builds without sanitizers (which "
      "replace malloc themselves)";
  return false;
}

void count_heap(bool /*on*/) {}

void resume_heap_count() {}

long heap_calls() { return 0; }

long heap_outstanding() { return 0; }

long heap_outstanding_bytes() { return 0; }

void tag_heap(int /*tag*/) {}

long heap_held_from(int /*tag*/, long &bytes) {
  bytes = 0;
  return 0;
}

bool wipe_freed_blocks(bool /*on*/) { return false; }

}  // namespace plugin_check
