// What a host does next, after it unloaded a plug-in, each move made so that
// what the plug-in left behind in the process (a fork handler, a thread-key
// destructor, a stream's buffer, functions or orientation, an alternate
// signal stack, a timer, an exit handler) shows as a crash or a signal that
// names the move. POSIX systems have all of these (host_moves_posix.cpp);
// elsewhere each move is a no-op (host_moves_windows.cpp).
#pragma once

#include <string>

namespace plugin_check::moves {

// Remembers where the library that holds `address` is mapped, while it still
// is, so a fault in that memory after unload is named as such.
void remember_library_of(const void *address);

// From now on a crash on any thread of this process ends the check with a
// failure that names the move being made (see making()) rather than the
// signal alone. A child process started since reports nothing itself: it
// dies of the signal, for its parent to see.
void report_crashes();

// Names the move this thread makes from now on, and what in the plug-in
// could make it crash: both string literals, e.g. "the host's fork" and
// "a fork handler (pthread_atfork)". Also tells the parent, so a crash the
// report cannot catch (a signal that cannot be delivered) is named too.
void making(const char *move, const char *suspect);

// Each move: empty when it went well, or the failure, "after unload, ...".
std::string fork_and_reap();
// Takes a signal on this thread, on its alternate signal stack if it has one;
// `whose` names the thread, "the thread that called tamrix_physics_init".
std::string take_signal(const char *whose);
std::string print_to_both();
std::string read_environment();

// Flushes every stream, forks, and has the child end with exit(), which runs
// every exit handler and flushes and unbuffers every stream; waits for it at
// most `limit_seconds`, and ends it if it hangs.
std::string exit_in_forked_child(double limit_seconds);

// Before the load: standard input holds a line of the host's, which
// read_input() reads back after unload, as a host that reads its commands
// does; empty when it read that line.
void give_input();
std::string read_input();

// Waits until the timers armed now would have fired, at most `limit_seconds`;
// any armed timer is a failure, named.
std::string wait_for_timers(double limit_seconds);

}  // namespace plugin_check::moves
