// The threads are those /proc lists. The C library starts one thread, on the first timer that
// notifies by a new thread, to wait for every such timer's expiries, and keeps it for the rest of
// the process.
#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "observe/library_threads.hpp"

namespace plugin_check {

std::vector<long> thread_ids() {
  std::vector<long> ids;
  std::error_code error;
  for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
       !error && task != end; task.increment(error)) {
    ids.push_back(std::stol(task->path().filename().string()));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

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
