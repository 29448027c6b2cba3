// Windows has no fork: the run stays in this process, a crash is reported by
// its own handler and an exit by the atexit handler of ending_windows.cpp. A
// plug-in that ends the process another way (ExitProcess, TerminateProcess)
// goes unreported here. The time limit is kept by a thread of this process,
// which ends the process when a hook does not return in time; a plug-in that
// suspends or ends every other thread escapes it, and nothing here can tell
// a slow reader of host-sim's output from a hook that hangs.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/platform.hpp"
#include "programs/exit_status.hpp"
#include "sim/ending.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host {
namespace {

Progress progress;
std::atomic<const char *> last_hook{nullptr};  // a string literal of the host's
const char *watching_program = "";
double limit_seconds = 10.0;

void note_hook(const char *hook) {
  if (hook != nullptr) {
    last_hook.store(hook, std::memory_order_relaxed);
  }
  heard(progress, hook);
}

void write_error(const std::string &text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

DWORD WINAPI keep_time(LPVOID started) {
  SetEvent(static_cast<HANDLE>(started));
  HangClock clock(limit_seconds);
  const auto nap = static_cast<DWORD>(clock.interval() * 1000.0);
  for (;;) {
    Sleep(nap > 0 ? nap : 1);
    const Moment moment = moment_of(progress);
    const double now = static_cast<double>(GetTickCount64()) / 1000.0;
    // A debugger holds the process at its breakpoints for as long as it likes.
    if (clock.timed_out(moment, false, IsDebuggerPresent() != FALSE, now)) {
      const char *hook = last_hook.load(std::memory_order_relaxed);
      write_error(std::string(watching_program) + ": " +
                  hang_text(moment, hook != nullptr ? hook : "", limit_seconds, "") + "\n");
      TerminateProcess(GetCurrentProcess(), exit_status::crashed);
    }
  }
}

}  // namespace

void note_stage(Stage stage) {
  progress.stage.store(static_cast<int>(stage), std::memory_order_relaxed);
}

int supervise(const char *program, double timeout_seconds, const std::function<int()> &run) {
  platform::report_crashes(program);
  watching_program = program;
  limit_seconds = timeout_seconds;
  set_hook_listener(note_hook);
  // A new thread passes through the loader before it runs, and a plug-in
  // that hangs in DllMain holds the loader: the keeper must be running
  // before the plug-in is loaded, or it never runs at all.
  if (HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (HANDLE keeper = CreateThread(nullptr, 0, keep_time, started, 0, nullptr)) {
      WaitForSingleObject(started, INFINITE);
      CloseHandle(keeper);
    }
    CloseHandle(started);
  }
  const int status = run();
  note_stage(Stage::finished);
  return status;
}

}  // namespace tamrix_host
