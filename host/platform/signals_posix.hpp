// The names of signals, from the one table beside the crash handler
// (crash_posix.cpp), so host-sim, the fixture and plugin-check name a signal
// alike. POSIX systems only: Windows ends a process with an exception code,
// which crash_name() in platform.hpp names.
#pragma once

#include <string>
#include <vector>

namespace tamrix_host::platform {

// The signal's name as the system's headers spell it ("SIGSEGV"); null for
// one without a name of its own, such as a real-time signal. Safe in a signal
// handler: it neither allocates nor takes a lock.
const char *signal_name(int number);

// A signal as a report line names it: the table's name, "SIGRTMIN+n" for a
// real-time signal, whose number differs between C libraries, else "signal n".
std::string signal_words(int number);

// The signals the table marks as a crash, for a watcher that catches them
// with a handler of its own.
std::vector<int> crash_signals();

// How a process's death by signal `number` reads: its crash name
// ("SIGSEGV (invalid memory access)") or "signal 9 (Killed)".
std::string signal_text(int number);

}  // namespace tamrix_host::platform
