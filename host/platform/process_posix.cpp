#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>
#include <vector>

#include "exit_status.hpp"
#include "platform.hpp"

namespace tamrix_host::platform {
namespace {

int child_channel = -1;
struct stat child_channel_file {};
std::FILE *console_scratch = nullptr;
struct stat console_file {};
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
  _exit(exit_status::crashed);
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// In the child: `task`'s channel is `channel`, and nothing it prints reaches
// the parent's terminal.
[[noreturn]] void become_child(int channel, ChildTask task, const std::vector<std::string> &args) {
  child_channel = channel;
  if (fstat(channel, &child_channel_file) != 0) {
    child_channel = -1;
  }
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  // Without exit(): the parent's atexit work is not the child's to do.
  _exit(task(args));
}

// Reads what is there now, keeping at most one byte past `limit` so a flood
// is seen without being kept; `open` turns false at the end of the pipe.
void read_available(int fd, std::string &output, bool &open) {
  std::array<char, 4096> buffer{};
  const ssize_t got = read(fd, buffer.data(), buffer.size());
  if (got > 0) {
    const std::size_t room = child_output_limit + 1 - std::min(output.size(), child_output_limit);
    output.append(buffer.data(), std::min(static_cast<std::size_t>(got), room));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    open = false;
  }
}

bool has_ended(pid_t pid) {
  siginfo_t info{};
  // WNOWAIT leaves it a zombie, so its process group lives on to be killed.
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// The processes whose parent is this one, from /proc.
std::vector<pid_t> own_children() {
  std::vector<pid_t> children;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return children;
  }
  const pid_t self = getpid();
  while (const dirent *entry = readdir(proc)) {  // NOLINT(concurrency-mt-unsafe): one reader
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::ifstream stat_file("/proc/" + name + "/stat");
    std::string line;
    std::getline(stat_file, line);
    // "pid (command) state ppid ...", where the command may hold anything.
    const std::size_t close = line.rfind(')');
    char state = 0;
    long parent = 0;
    std::istringstream rest(close == std::string::npos ? "" : line.substr(close + 1));
    if (rest >> state >> parent && parent == self) {
      children.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  closedir(proc);
  return children;
}

// Kills and reaps every child this process still has. As a subreaper it is
// the parent of whatever a check's child left behind, even processes that
// left the child's group; one killed may leave children of its own, which
// come back here too, so this goes on until none is left.
void end_every_child() {
  constexpr int max_rounds = 5000;  // a bound, should something refuse to die
  for (int round = 0; round < max_rounds; ++round) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    siginfo_t info{};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD) {
      return;
    }
    for (const pid_t child : own_children()) {
      kill(child, SIGKILL);
    }
    usleep(1000);
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
  // Descendants that leave the child's process group come back to this
  // process when their parent ends, so that none outlives the check.
  prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL);
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
  setpgid(pid, pid);  // as the child does, whichever runs first

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout_seconds));
  const auto milliseconds_left = [&deadline] {
    // Rounded up, so the child always gets its whole time.
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  };
  // The pipe's end alone does not tell: a child may close its end and run on,
  // and a process it started may hold the pipe open after the child ended.
  bool open = true;
  bool ended = false;
  while (!ended && outcome.output.size() <= child_output_limit && milliseconds_left() > 0) {
    if (open) {
      pollfd watch{pipe_ends[0], POLLIN, 0};
      if (poll(&watch, 1, static_cast<int>(std::min<long long>(milliseconds_left(), 10))) > 0) {
        read_available(pipe_ends[0], outcome.output, open);
      }
    } else {
      usleep(1000);
    }
    ended = has_ended(pid);
  }
  if (ended) {
    // What it sent just before it ended is still in the pipe.
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    while (open && outcome.output.size() <= child_output_limit) {
      errno = 0;
      read_available(pipe_ends[0], outcome.output, open);
      open = open && errno != EAGAIN;
    }
  }
  close(pipe_ends[0]);

  kill(-pid, SIGKILL);
  if (!ended) {
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  end_every_child();
  if (outcome.output.size() > child_output_limit) {
    outcome.end = ChildOutcome::End::flooded;
    outcome.output.resize(child_output_limit);
  } else if (!ended) {
    outcome.end = ChildOutcome::End::timed_out;
  } else if (WIFSIGNALED(status)) {
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

bool child_channel_intact() {
  struct stat now {};
  return child_channel >= 0 && fstat(child_channel, &now) == 0 &&
         same_file(now, child_channel_file);
}

bool capture_console() {
  std::fflush(nullptr);
  console_scratch = std::tmpfile();
  if (console_scratch == nullptr) {
    return false;
  }
  const int scratch = fileno(console_scratch);
  // Appending, so a descriptor moved back to the file's start overwrites nothing.
  bool redirected = fcntl(scratch, F_SETFL, O_APPEND) == 0 && fstat(scratch, &console_file) == 0;
  for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    redirected = redirected && dup2(scratch, standard) >= 0;
  }
  return redirected;
}

long long console_bytes() {
  std::fflush(nullptr);
  struct stat now {};
  return console_scratch != nullptr && fstat(fileno(console_scratch), &now) == 0 ? now.st_size : 0;
}

std::string console_moved() {
  std::string moved;
  for (const auto &[fd, name] :
       {std::pair{STDIN_FILENO, "standard input"}, std::pair{STDOUT_FILENO, "standard output"},
        std::pair{STDERR_FILENO, "standard error"}}) {
    struct stat now {};
    if (fstat(fd, &now) != 0 || !same_file(now, console_file)) {
      moved += (moved.empty() ? "" : ", ") + std::string(name);
    }
  }
  return moved;
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
