// System calls a plug-in's own code makes, not through the C library, known
// by the address they are made from. Linux lets a filter hand each such call
// to a listener of the process's own, which notes it and lets it go on
// (raw_calls_linux.cpp); elsewhere none is seen (raw_calls_none.cpp).
#pragma once

#include <string>
#include <vector>

namespace plugin_check {

struct RawCall {
  std::string hook;  // the hook running when it was made; empty for none
  std::string name;  // "getpid", or "number 436" for one plugin-check has no name for
  long count = 0;
};

// From now on, on the calling thread and the threads started after, notes
// each system call made from the code of the library that holds `inside`.
// False, with the reason, where the system cannot. The filter stays for the
// rest of the process, which should end soon after raw_calls_seen().
bool watch_raw_calls(const void *inside, std::string &why_not);

// Stops noting, and what was noted, in the order first made. A call the
// plug-in's code makes after this fails with ENOSYS.
std::vector<RawCall> raw_calls_seen();

}  // namespace plugin_check
