#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "platform/signals_posix.hpp"
#include "programs/exit_status.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host::platform {
namespace {

const char *crash_program = "";

struct SignalName {
  int number;
  const char *name;
  // The words of a crash by it, for the signals a faulty plug-in raises; null
  // for the others, which the crash handler leaves alone.
  const char *crash;
};

// Every signal the system names, in the words an author looks up; a table
// rather than strsignal() or sigabbrev_np() because a signal handler may read
// it: it neither allocates nor takes a lock.
constexpr std::array<SignalName, 31> signals = {{
    {SIGHUP, "SIGHUP", nullptr},
    {SIGINT, "SIGINT", nullptr},
    {SIGQUIT, "SIGQUIT", nullptr},
    {SIGILL, "SIGILL", "SIGILL (illegal instruction)"},
    {SIGTRAP, "SIGTRAP", "SIGTRAP (trap)"},
    {SIGABRT, "SIGABRT", "SIGABRT (aborted)"},
    {SIGBUS, "SIGBUS", "SIGBUS (bus error)"},
    {SIGFPE, "SIGFPE", "SIGFPE (arithmetic error)"},
    {SIGKILL, "SIGKILL", nullptr},
    {SIGUSR1, "SIGUSR1", nullptr},
    {SIGSEGV, "SIGSEGV", "SIGSEGV (invalid memory access)"},
    {SIGUSR2, "SIGUSR2", nullptr},
    {SIGPIPE, "SIGPIPE", nullptr},
    {SIGALRM, "SIGALRM", nullptr},
    {SIGTERM, "SIGTERM", nullptr},
    {SIGSTKFLT, "SIGSTKFLT", nullptr},
    {SIGCHLD, "SIGCHLD", nullptr},
    {SIGCONT, "SIGCONT", nullptr},
    {SIGSTOP, "SIGSTOP", nullptr},
    {SIGTSTP, "SIGTSTP", nullptr},
    {SIGTTIN, "SIGTTIN", nullptr},
    {SIGTTOU, "SIGTTOU", nullptr},
    {SIGURG, "SIGURG", nullptr},
    {SIGXCPU, "SIGXCPU", nullptr},
    {SIGXFSZ, "SIGXFSZ", nullptr},
    {SIGVTALRM, "SIGVTALRM", nullptr},
    {SIGPROF, "SIGPROF", nullptr},
    {SIGWINCH, "SIGWINCH", nullptr},
    {SIGPOLL, "SIGPOLL", nullptr},
    {SIGPWR, "SIGPWR", nullptr},
    {SIGSYS, "SIGSYS", "SIGSYS (bad system call)"},
}};

const SignalName *find_signal(int number) {
  for (const SignalName &signal : signals) {
    if (signal.number == number) {
      return &signal;
    }
  }
  return nullptr;
}

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

const char *signal_name(int number) {
  const SignalName *signal = find_signal(number);
  return signal != nullptr ? signal->name : nullptr;
}

std::string signal_words(int number) {
  if (number >= SIGRTMIN && number <= SIGRTMAX) {
    return "SIGRTMIN+" + std::to_string(number - SIGRTMIN);
  }
  const char *name = signal_name(number);
  return name != nullptr ? std::string(name) : "signal " + std::to_string(number);
}

std::vector<int> crash_signals() {
  std::vector<int> numbers;
  for (const SignalName &signal : signals) {
    if (signal.crash != nullptr) {
      numbers.push_back(signal.number);
    }
  }
  return numbers;
}

std::string signal_text(int number) {
  if (const char *name = crash_name(static_cast<unsigned long>(number))) {
    return name;
  }
  // NOLINTNEXTLINE(concurrency-mt-unsafe): only a process's watcher asks, on one thread
  const char *description = strsignal(number);
  return "signal " + std::to_string(number) + " (" + (description != nullptr ? description : "?") +
         ")";
}

const char *crash_name(unsigned long code) {
  const SignalName *signal = code <= INT_MAX ? find_signal(static_cast<int>(code)) : nullptr;
  return signal != nullptr ? signal->crash : nullptr;
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
  for (const SignalName &signal : signals) {
    if (signal.crash != nullptr) {
      sigaction(signal.number, &action, nullptr);
    }
  }
}

}  // namespace tamrix_host::platform
