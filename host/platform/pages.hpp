// Address space the process may neither read nor write, for handles that
// must fault when a plug-in looks behind them, and pages opened within it
// for what the host lends a plug-in, so that a read past the end or after
// the loan faults too. One implementation per system family, beside the rest
// of the platform seam.
#pragma once

#include <cstddef>

namespace tamrix_host::platform {

// Reserves at least `size` bytes of address space with no access rights at
// all; null when the system refuses. Every access through it faults.
void *reserve_no_access(std::size_t size);

// Gives back what reserve_no_access() returned, with the same `size`.
void release_no_access(void *pages, std::size_t size);

// The unit of the functions below: each takes whole pages.
std::size_t page_size();

// Makes `size` bytes at `pages`, within what reserve_no_access() gave,
// readable and writable, all 0; false when the system refuses.
bool open_pages(void *pages, std::size_t size);

// Leaves them readable only.
void make_read_only(void *pages, std::size_t size);

// Takes every right away from them again and gives their memory back; the
// address space stays reserved, for release_no_access() to give back.
void close_pages(void *pages, std::size_t size);

}  // namespace tamrix_host::platform
