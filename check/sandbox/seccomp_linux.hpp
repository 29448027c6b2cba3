// What the two filters of system calls share, on Linux: the machine the
// filter checks for, the names of the calls a plug-in is likely to make, and
// a loaded object's code as the stretches of addresses a filter compares.
#pragma once

#include <link.h>

#include <cstdint>
#include <vector>

namespace plugin_check::seccomp {

// The machine's audit architecture, as a filter's program checks it.
std::uint32_t native_arch();

// A system call's name where plugin-check knows it, else null.
const char *system_call_name(long number);

// Addresses whose upper 32 bits are the same, as a filter compares them:
// it loads 32 bits at a time.
struct CodeStretch {
  std::uint32_t high;
  std::uint32_t first_low;
  std::uint32_t last_low;
};

// The executable segments of one loaded object, cut where the upper half of
// an address changes, added to `out`.
void add_code_of(const dl_phdr_info &object, std::vector<CodeStretch> &out);

}  // namespace plugin_check::seccomp
