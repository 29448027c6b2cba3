// The C library starts one thread, on the first timer that notifies by a new
// thread, to wait for every such timer's expiries, and keeps it for the rest
// of the process.
#include <csignal>
#include <ctime>

#include "observe/library_threads.hpp"

namespace plugin_check {

void start_library_helpers() {
  sigevent notify{};
  notify.sigev_notify = SIGEV_THREAD;
  notify.sigev_notify_function = [](sigval /*unused*/) {};
  timer_t timer{};
  // Never armed: the helper is started by the creation alone.
  if (timer_create(CLOCK_MONOTONIC, &notify, &timer) == 0) {
    timer_delete(timer);
  }
}

}  // namespace plugin_check
