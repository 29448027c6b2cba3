#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <system_error>

#include "platform.hpp"

namespace tamrix_host::platform {
namespace {

int child_channel = -1;
std::atomic<const char *> current_hook{nullptr};
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

const char *crash_signal_name(int number) {
  for (const SignalName &signal : crash_signals) {
    if (signal.number == number) {
      return signal.name;
    }
  }
  return nullptr;
}

std::string signal_text(int number) {
  if (const char *name = crash_signal_name(number)) {
    return name;
  }
  const char *description = strsignal(number);  // NOLINT(concurrency-mt-unsafe): parent only
  return "signal " + std::to_string(number) + " (" + (description != nullptr ? description : "?") +
         ")";
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

void write_text(int fd, const char *text) { write_all(fd, text, std::strlen(text)); }

extern "C" void on_crash(int number) {
  const char *hook = current_hook.load(std::memory_order_relaxed);
  const char *name = crash_signal_name(number);
  write_text(STDERR_FILENO, crash_program);
  write_text(STDERR_FILENO, hook != nullptr ? ": crash in " : ": crash outside any plug-in call");
  write_text(STDERR_FILENO, hook != nullptr ? hook : "");
  write_text(STDERR_FILENO, ": ");
  write_text(STDERR_FILENO, name != nullptr ? name : "fatal signal");
  write_text(STDERR_FILENO, "\n");
  _exit(3);
}

// In the child: `task`'s channel is `channel`, and nothing it prints reaches
// the parent's terminal.
[[noreturn]] void become_child(int channel, ChildTask task, const std::vector<std::string> &args) {
  child_channel = channel;
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  // Without exit(): the parent's atexit work is not the child's to do.
  _exit(task(args));
}

void read_available(int fd, std::string &output, bool &open) {
  std::array<char, 4096> buffer{};
  const ssize_t got = read(fd, buffer.data(), buffer.size());
  if (got > 0) {
    output.append(buffer.data(), static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    open = false;
  }
}

}  // namespace

ChildOutcome run_child(ChildTask task, const std::vector<std::string> &args,
                       double timeout_seconds) {
  ChildOutcome outcome;
  std::array<int, 2> pipe_ends{-1, -1};
  if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
    outcome.cause = "cannot make a pipe: " + std::generic_category().message(errno);
    return outcome;
  }
  // Buffered output would otherwise be written twice, once by each process.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_ends[0]);
    setpgid(0, 0);  // its own group, so anything it starts dies with it
    become_child(pipe_ends[1], task, args);
  }
  close(pipe_ends[1]);
  if (pid < 0) {
    outcome.cause = "cannot start a process: " + std::generic_category().message(errno);
    close(pipe_ends[0]);
    return outcome;
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout_seconds));
  const auto milliseconds_left = [&deadline] {
    // Rounded up, so the child always gets its whole time.
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  };
  bool open = true;
  while (open && milliseconds_left() > 0) {
    pollfd watch{pipe_ends[0], POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(std::min<long long>(milliseconds_left(), 100))) > 0) {
      read_available(pipe_ends[0], outcome.output, open);
    }
  }
  close(pipe_ends[0]);

  // A child may close its end of the pipe and still run, so its end is
  // awaited under the same time limit.
  int status = 0;
  pid_t ended = 0;
  while (((ended = waitpid(pid, &status, WNOHANG)) == 0 || (ended < 0 && errno == EINTR)) &&
         milliseconds_left() > 0) {
    usleep(2000);
  }
  if (ended != pid) {
    outcome.end = ChildOutcome::End::timed_out;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return outcome;
  }
  if (WIFSIGNALED(status)) {
    outcome.end = ChildOutcome::End::crashed;
    outcome.cause = signal_text(WTERMSIG(status));
  } else {
    outcome.end = ChildOutcome::End::exited;
    outcome.exit_status = WEXITSTATUS(status);
  }
  return outcome;
}

int run_as_child(ChildTask task, const std::vector<std::string> &args) {
  if (args.empty() || args[0] != child_flag) {
    return -1;
  }
  become_child(dup(STDOUT_FILENO), task, {args.begin() + 1, args.end()});
}

void child_write(std::string_view text) {
  if (child_channel >= 0) {
    write_all(child_channel, text.data(), text.size());
  }
}

bool capture_console() {
  std::fflush(nullptr);
  std::FILE *scratch = std::tmpfile();
  if (scratch == nullptr) {
    return false;
  }
  // The descriptors keep the file open; the stream itself is not needed.
  const bool redirected =
      dup2(fileno(scratch), STDOUT_FILENO) >= 0 && dup2(fileno(scratch), STDERR_FILENO) >= 0;
  std::fclose(scratch);
  return redirected;
}

long long console_bytes() {
  std::fflush(nullptr);
  // Both descriptors share one open file, and so one offset.
  return lseek(STDOUT_FILENO, 0, SEEK_CUR);
}

void note_hook(const char *hook) { current_hook.store(hook, std::memory_order_relaxed); }

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
