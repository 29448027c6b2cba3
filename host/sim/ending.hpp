// A plug-in that ends the process from inside a hook (exit, _exit,
// quick_exit, the exit_group system call, pthread_exit of the main thread,
// execve) must not look like a run that finished: host-sim reports it as it
// reports a crash. One implementation per system family.
#pragma once

#include <functional>

#include "sim/hang.hpp"

namespace tamrix_host {

// Runs `run`, host-sim's whole behaviour, and returns the status the program
// ends with. Where the system allows, `run` goes on in a child process and
// this one only watches: any end of the child other than `run` returning is
// one line, "<program>: <hook> ended the process (status N) through exit",
// "... replaced the process (execve)", "crash in <hook>: SIGSEGV ..." and so
// on, and status 3. So is a hook that does not return within
// `timeout_seconds`, or a load, an unload or an end of the process that does
// not finish within them (see sim/hang.hpp). `program` must outlive the
// process.
int supervise(const char *program, double timeout_seconds, const std::function<int()> &run);

// Where the run is now, for the time limit. Only the supervisor listens.
void note_stage(Stage stage);

// How the child saw the plug-in end it, told to the watching process just
// before the end; the kernel tells the rest.
enum class Ending : int { unseen, exit, underscore_exit, big_exit, quick_exit, main_thread };

// Safe in a signal handler. Only the POSIX supervisor listens.
void note_ending(Ending how);

// From now on, a plug-in that ends the process through the C library while
// its code runs is stopped there, before any exit handler runs, and the way
// is noted. `plugin_function` is any function of the loaded plug-in, which
// tells its code apart.
void report_endings(const char *program, const void *plugin_function);

}  // namespace tamrix_host
