// The names of signals, from the one table beside the crash handler
// (crash_posix.cpp), so host-sim, the fixture and plugin-check name a signal
// alike. POSIX systems only: Windows ends a process with an exception code,
// which crash_name() in platform.hpp names.
#pragma once

#include <string>

namespace tamrix_host::platform {

// The signal's name as the system's headers spell it ("SIGSEGV"); null for
// one without a name of its own, such as a real-time signal. Safe in a signal
// handler: it neither allocates nor takes a lock.
const char *signal_name(int number);

// How a process's death by signal `number` reads: its crash name
// ("SIGSEGV (invalid memory access)") or "signal 9 (Killed)".
std::string signal_text(int number);

}  // namespace tamrix_host::platform
