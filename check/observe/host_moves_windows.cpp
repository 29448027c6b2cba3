// Windows has no fork (nor a forked child whose exit() would run what a
// module left), signals, alternate stacks or interval timers, and its module
// unload runs no thread-key destructor of the module's: nothing to move.
#include "observe/host_moves.hpp"

namespace plugin_check::moves {

void remember_library_of(const void * /*address*/) {}
void report_crashes() {}
void making(const char * /*move*/, const char * /*suspect*/) {}
std::string fork_and_reap() { return {}; }
std::string take_signal(const char * /*whose*/) { return {}; }
std::string print_to_both() { return {}; }
std::string read_environment() { return {}; }
std::string exit_in_forked_child(double /*limit_seconds*/) { return {}; }
void give_input() {}
std::string read_input() { return {}; }
std::string wait_for_timers(double /*limit_seconds*/) { return {}; }

}  // namespace plugin_check::moves
