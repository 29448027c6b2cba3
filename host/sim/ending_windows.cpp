// A DLL binds exit to its C runtime, where the program cannot stand in front
// of it; but exit() runs the program's own atexit handlers, and one of them
// can tell that a hook was still running. _exit and quick_exit run none and
// go unreported here.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "programs/exit_status.hpp"
#include "sim/ending.hpp"
#include "tamrix_host.hpp"

namespace {

const char *ending_program = "";

void write_text(const char *text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
            nullptr);
}

extern "C" void on_exit_in_hook() {
  const char *hook = tamrix_host::running_hook();
  if (hook == nullptr) {
    return;
  }
  std::fflush(nullptr);
  // The status exit() was given is not known to its handlers.
  write_text(ending_program);
  write_text(": ");
  write_text(hook);
  write_text(" ended the process\n");
  ExitProcess(tamrix_host::exit_status::crashed);
}

}  // namespace

namespace tamrix_host {

void report_endings(const char *program, const void * /*plugin_function*/) {
  ending_program = program;
  std::atexit(on_exit_in_hook);
}

}  // namespace tamrix_host
