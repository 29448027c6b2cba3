// Counting the heap calls a plug-in makes, where the build can.
#pragma once

#include <string>

namespace plugin_check {

// False, with the reason, where this build cannot count.
bool heap_counting_available(std::string &why_not);

// Starts counting from zero (true) or stops (false).
void count_heap(bool on);

// Starts counting again, keeping what was counted so far, so that only the
// plug-in's own calls are counted and not the checker's between them.
void resume_heap_count();

// Calls to any allocating entry point (the C library's malloc family, its
// `__libc_` names included, and every form of operator new) while counting, since counting last
// started from zero.
long heap_calls();

// Blocks allocated and not freed while counting, since counting last started
// from zero; negative when more was freed than allocated.
long heap_outstanding();

// The bytes of those blocks as the allocator holds them (its usable size, a
// little over what was asked), over the same span.
long heap_outstanding_bytes();

// Marks what is allocated from now on as made under `tag`, so that
// heap_held_from() can tell which call made the blocks still held.
void tag_heap(int tag);

// Blocks allocated under `tag` while counting and not freed since counting
// last started from zero, with their bytes in `bytes`.
long heap_held_from(int tag, long &bytes);

// From `on`, every block is wiped as it is freed, so what it held no longer
// reads as a pointer anywhere; false where this build cannot.
bool wipe_freed_blocks(bool on);

}  // namespace plugin_check
