// What still points into a plug-in once it is unloaded: the process's
// writable memory read word by word for values inside what the library had
// mapped. A hook, a callback, a name or a buffer the plug-in handed to the C
// library, the engine or the host shows as such a word, wherever it was put,
// with no list of places to look. POSIX systems read their mappings from
// /proc (pointer_scan_posix.cpp); Windows walks its memory with VirtualQuery
// and its heaps with HeapWalk (pointer_scan_windows.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_check::pointers {

// Records, while it is still mapped, where the library that holds `address`
// is mapped (its code and its data), so the scan after unload knows what
// counts as pointing into it. False if no library holds `address`.
bool record_library_of(const void *address);

// The checker's own object of `size` bytes at `object` that holds the
// plug-in's functions: where no freed block is wiped, its block still holds
// them after the unload, and they are not the host's.
void checkers_copy_at(const void *object, std::size_t size);

// After the unload: the places where a word still points into what the
// recorded library had mapped, each as "a pointer into the unloaded
// plug-in's code stays in libc.so.6's data, near program_invocation_name",
// the first `most` of them; `total` is how many places there are. With
// `heap_wiped` false, freed blocks may still hold what they held, so only
// the libraries' own data is read.
std::vector<std::string> left_pointing(std::size_t most, std::size_t &total, bool heap_wiped);

// How left_pointing() names the place where the C library keeps fork
// handlers, of which a plug-in can remove none: "a fork handler of the
// unloaded plug-in's stays in " it.
inline constexpr std::string_view fork_handler_table =
    "the C library's table of fork handlers (pthread_atfork)";

}  // namespace plugin_check::pointers
