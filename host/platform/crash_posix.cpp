#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/platform.hpp"
#include "programs/exit_status.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host::platform {
namespace {

const char *crash_program = "";

struct SignalName {
  int number;
  const char *name;
};

// The signals a faulty plug-in raises, named in the words an author looks up;
// a table rather than strsignal() because the crash handler may not allocate.
constexpr std::array<SignalName, 7> crash_signals = {{
    {SIGSEGV, "SIGSEGV (invalid memory access)"},
    {SIGBUS, "SIGBUS (bus error)"},
    {SIGILL, "SIGILL (illegal instruction)"},
    {SIGFPE, "SIGFPE (arithmetic error)"},
    {SIGABRT, "SIGABRT (aborted)"},
    {SIGTRAP, "SIGTRAP (trap)"},
    {SIGSYS, "SIGSYS (bad system call)"},
}};

void write_all(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void write_text(const char *text) { write_all(STDERR_FILENO, text, std::strlen(text)); }

extern "C" void on_crash(int number) {
  const char *hook = running_hook();
  const char *name = crash_name(static_cast<unsigned long>(number));
  write_text(crash_program);
  write_text(hook != nullptr ? ": crash in " : ": crash outside any plug-in call");
  write_text(hook != nullptr ? hook : "");
  write_text(": ");
  write_text(name != nullptr ? name : "fatal signal");
  write_text("\n");
  _exit(exit_status::crashed);
}

}  // namespace

const char *crash_name(unsigned long code) {
  for (const SignalName &signal : crash_signals) {
    if (static_cast<unsigned long>(signal.number) == code) {
      return signal.name;
    }
  }
  return nullptr;
}

void report_crashes(const char *program) {
  crash_program = program;
  // Its own stack, so a stack overflow can still be reported.
  static std::array<char, std::size_t{64} * 1024> crash_stack{};
  stack_t stack{};
  stack.ss_sp = crash_stack.data();
  stack.ss_size = crash_stack.size();
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = on_crash;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (const SignalName &signal : crash_signals) {
    sigaction(signal.number, &action, nullptr);
  }
}

}  // namespace tamrix_host::platform
