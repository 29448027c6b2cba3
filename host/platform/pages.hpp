// Address space the process may neither read nor write, for handles that
// must fault when a plug-in looks behind them. One implementation per system
// family, beside the rest of the platform seam.
#pragma once

#include <cstddef>

namespace tamrix_host::platform {

// Reserves at least `size` bytes of address space with no access rights at
// all; null when the system refuses. Every access through it faults.
void *reserve_no_access(std::size_t size);

// Gives back what reserve_no_access() returned, with the same `size`.
void release_no_access(void *pages, std::size_t size);

}  // namespace tamrix_host::platform
