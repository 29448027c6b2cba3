// Windows has no fork: the run stays in this process, a crash is reported by
// its own handler and an exit by the atexit handler of ending_windows.cpp. A
// plug-in that ends the process another way (ExitProcess, TerminateProcess)
// goes unreported here.
#include "platform/platform.hpp"
#include "sim/ending.hpp"

namespace tamrix_host {

int supervise(const char *program, const std::function<int()> &run) {
  platform::report_crashes(program);
  return run();
}

}  // namespace tamrix_host
