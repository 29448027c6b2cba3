// host-sim forks: the child runs the world, and this process waits to learn
// how the child ended. A plug-in can end its own process in ways no code in
// it can see (the exit_group system call, execve), but never in a way its
// parent cannot: whatever is not the child's own orderly finish is reported.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/platform.hpp"
#include "platform/signals_posix.hpp"
#include "programs/exit_status.hpp"
#include "sim/ending.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host {
namespace {

// What the child leaves for its parent in a page both share. The child
// writes it as it runs, with no system call per hook; the parent reads it
// once the child has ended or been replaced. The plug-in shares the child's
// memory, so the parent trusts nothing in it beyond its bounds.
struct Report {
  int finished;  // 1 once the run returned `status`
  int status;
  int in_hook;                // the hook below runs now
  std::array<char, 64> hook;  // the hook entered last
  Ending ending;              // as the child saw it, if it did
};

// The page: the report, and what the parent reads while the child runs.
struct Shared {
  Report report;
  Progress progress;
};

Report *report = nullptr;
Progress *progress = nullptr;
pid_t child_pid = 0;

void note_hook(const char *hook) {
  if (hook == nullptr) {
    report->in_hook = 0;
  } else {
    std::strncpy(report->hook.data(), hook, report->hook.size() - 1);
    report->in_hook = 1;
  }
  heard(*progress, hook);
}

// pthread_exit on the main thread unwinds host-sim's own frames, which leave
// their hooks, before this runs; the hook entered last is the one that did it.
extern "C" void on_main_thread_end(void * /*report*/) {
  note_ending(Ending::main_thread);
  std::fflush(nullptr);
  syscall(SYS_exit_group, exit_status::crashed);
}

void become_child(const sigset_t &mask, pid_t parent) {
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  // Nobody would wait for a child left behind, a hung plug-in's least of all.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) {
    _exit(exit_status::crashed);
  }
  // A crash is the parent's to report; a core file of it is nobody's.
  rlimit core{};
  getrlimit(RLIMIT_CORE, &core);
  core.rlim_cur = 0;
  setrlimit(RLIMIT_CORE, &core);
  child_pid = getpid();
  set_hook_listener(note_hook);
  pthread_key_t main_thread{};
  if (pthread_key_create(&main_thread, on_main_thread_end) == 0) {
    pthread_setspecific(main_thread, report);
  }
}

extern "C" void on_child_signal(int /*number*/) {}

// True once the child has ended; it stays unreaped, so /proc still shows it.
bool ended(pid_t child, siginfo_t &info) {
  info = siginfo_t{};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == child;
}

// Whether the child ran execve: the kernel marks a forked process until it
// does, the mark stays on a zombie, and no plug-in can set it again.
bool replaced(pid_t child) {
  std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) {
    return false;  // no /proc: only the ending itself is known
  }
  std::istringstream fields(line.substr(name_end + 1));
  std::string skipped;
  unsigned long flags = 0;
  // state, ppid, pgrp, session, tty, tpgid, then the flags
  for (int i = 0; i < 6; ++i) {
    fields >> skipped;
  }
  constexpr unsigned long forked_not_executed = 0x40;  // PF_FORKNOEXEC
  return fields >> flags && (flags & forked_not_executed) == 0;
}

// The one line for an end that was not the run's own finish.
std::string ending_text(const Report &seen, const siginfo_t &info, bool was_replaced) {
  std::string hook(seen.hook.data(), strnlen(seen.hook.data(), seen.hook.size()));
  const bool in_hook = seen.in_hook != 0 && !hook.empty();
  const std::string outside = " outside any plug-in call";
  if (was_replaced) {
    return in_hook ? hook + " replaced the process (execve)"
                   : "the process was replaced (execve)" + outside;
  }
  if (seen.ending == Ending::main_thread) {
    return !hook.empty() ? hook + " ended the main thread (pthread_exit)"
                         : "the main thread ended (pthread_exit)" + outside;
  }
  if (info.si_code != CLD_EXITED) {
    if (platform::crash_name(static_cast<unsigned long>(info.si_status)) != nullptr) {
      return (in_hook ? "crash in " + hook : "crash" + outside) + ": " +
             platform::signal_text(info.si_status);
    }
    return (in_hook ? hook + " ended the process" : "the process ended" + outside) + " with " +
           platform::signal_text(info.si_status);
  }
  const char *way = "the exit_group system call";
  switch (seen.ending) {
    case Ending::exit:
      way = "exit";
      break;
    case Ending::underscore_exit:
      way = "_exit";
      break;
    case Ending::big_exit:
      way = "_Exit";
      break;
    case Ending::quick_exit:
      way = "quick_exit";
      break;
    default:
      break;
  }
  return (in_hook ? hook + " ended the process" : "the process ended" + outside) + " (status " +
         std::to_string(info.si_status) + ") through " + way;
}

// The signal that holds the child stopped (SIGSTOP, SIGTSTP), or 0.
int stop_signal(pid_t child) {
  siginfo_t info{};
  const bool stopped =
      waitid(P_PID, static_cast<id_t>(child), &info, WSTOPPED | WNOHANG | WNOWAIT) == 0 &&
      info.si_pid == child && info.si_code == CLD_STOPPED;
  return stopped ? info.si_status : 0;
}

// Whether a stop is the terminal's, of host-sim run as a background job that
// read or wrote it: the user brings the job back, and the run goes on.
bool stopped_by_terminal(int stop) {
  if (stop != SIGTTIN && stop != SIGTTOU) {
    return false;
  }
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (isatty(fd) != 0) {
      const pid_t foreground = tcgetpgrp(fd);
      return foreground > 0 && foreground != getpgrp();
    }
  }
  return false;
}

// The line of /proc/<child>/<file> that starts with `starting`, or empty.
std::string proc_line(pid_t child, const char *file, const std::string &starting) {
  std::ifstream text("/proc/" + std::to_string(child) + "/" + file);
  std::string line;
  while (std::getline(text, line)) {
    if (line.rfind(starting, 0) == 0) {
      return line;
    }
  }
  return {};
}

// Whether host-sim's own output is full: its reader (host-sim | less) is slow
// to take it, and whoever writes to it, the child's calls included, waits on
// that reader, not on the plug-in.
bool output_full() {
  std::array<pollfd, 2> outputs{pollfd{STDOUT_FILENO, POLLOUT, 0},
                                pollfd{STDERR_FILENO, POLLOUT, 0}};
  if (poll(outputs.data(), outputs.size(), 0) < 0) {
    return false;
  }
  return std::any_of(outputs.begin(), outputs.end(), [](const pollfd &output) {
    return (output.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) == 0;
  });
}

// Whether the child waits on someone else: a debugger that holds it, or the
// reader of host-sim's output.
bool waits_on_others(pid_t child) {
  const std::string tracer_line = proc_line(child, "status", "TracerPid:");
  std::istringstream tracer(tracer_line.substr(std::min(tracer_line.size(), std::size_t{10})));
  long tracer_pid = 0;
  if (tracer >> tracer_pid && tracer_pid != 0 && tracer_pid != getpid()) {
    return true;
  }
  return output_full();
}

double seconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The line for a child that ran out of time, once it has been ended.
std::string timed_out_text(const Moment &moment, int stop, double limit) {
  const Report &seen = *report;
  const std::string hook(seen.hook.data(), strnlen(seen.hook.data(), seen.hook.size()));
  const char *name = stop != 0 ? platform::signal_name(stop) : nullptr;
  return hang_text(moment, hook, limit,
                   stop == 0         ? ""
                   : name != nullptr ? name
                                     : platform::signal_text(stop));
}

// Waits for the child to end, or to be replaced by another program, which is
// then ended too: it is no part of the run. A child that runs out of time is
// ended the same way, by its process id.
int watch(const char *program, pid_t child, int closed_at_exec, const sigset_t &waiting,
          double timeout_seconds) {
  siginfo_t info{};
  bool open = true;
  bool was_replaced = false;
  HangClock clock(timeout_seconds);
  const auto nap_ns = static_cast<long long>(clock.interval() * 1e9);
  const timespec nap{static_cast<time_t>(nap_ns / 1000000000),
                     static_cast<long>(nap_ns % 1000000000)};
  while (!ended(child, info)) {
    if (replaced(child)) {
      was_replaced = true;
      kill(child, SIGKILL);
      waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
      break;
    }
    const Moment moment = moment_of(*progress);
    const int stop = stop_signal(child);
    const bool others = stop == 0 ? waits_on_others(child) : stopped_by_terminal(stop);
    if (clock.timed_out(moment, stop != 0 && !others, others, seconds_now())) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      std::cerr << program << ": " << timed_out_text(moment, stop, timeout_seconds) << '\n';
      return exit_status::crashed;
    }
    // Wakes when the pipe closes (an exit or an execve), SIGCHLD comes or it
    // is time for another look; SIGCHLD stays blocked everywhere else, so none
    // is missed.
    pollfd pipe{open ? closed_at_exec : -1, POLLIN, 0};
    if (ppoll(&pipe, 1, &nap, &waiting) > 0) {
      char byte = 0;
      open = read(closed_at_exec, &byte, 1) > 0;
    }
  }
  was_replaced = was_replaced || replaced(child);
  waitpid(child, nullptr, 0);
  const Report seen = *report;
  if (!was_replaced && seen.finished == 1 && info.si_code == CLD_EXITED &&
      info.si_status == seen.status) {
    return seen.status;
  }
  if (!was_replaced && info.si_code != CLD_EXITED && info.si_status == SIGPIPE) {
    // The reader of the output went away (host-sim | head): end as quietly
    // as host-sim always did, which the plug-in cannot make a pass either.
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
  }
  std::cerr << program << ": " << ending_text(seen, info, was_replaced) << '\n';
  return exit_status::crashed;
}

}  // namespace

void note_stage(Stage stage) {
  if (progress != nullptr) {
    progress->stage.store(static_cast<int>(stage), std::memory_order_relaxed);
  }
}

void note_ending(Ending how) {
  // A process the plug-in forks shares the page, and ends as it likes.
  if (report != nullptr && getpid() == child_pid) {
    report->ending = how;
  }
}

int supervise(const char *program, double timeout_seconds, const std::function<int()> &run) {
  void *page =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  std::array<int, 2> ends{};
  if (page == MAP_FAILED || pipe2(ends.data(), O_CLOEXEC) != 0) {
    std::cerr << program << ": cannot watch the run: " << std::system_category().message(errno)
              << '\n';
    return exit_status::failed;
  }
  auto *const shared = static_cast<Shared *>(page);
  new (shared) Shared{};
  report = &shared->report;
  progress = &shared->progress;
  sigset_t child_ended;
  sigset_t mask;
  sigemptyset(&child_ended);
  sigaddset(&child_ended, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &child_ended, &mask);
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    std::cerr << program << ": cannot start the run: " << std::system_category().message(errno)
              << '\n';
    return exit_status::failed;
  }
  if (child == 0) {
    close(ends[0]);
    become_child(mask, parent);
    const int status = run();
    std::cout.flush();
    std::fflush(nullptr);
    report->status = status;
    report->finished = 1;
    note_stage(Stage::finished);
    return status;
  }
  close(ends[1]);
  struct sigaction wake {};
  wake.sa_handler = on_child_signal;
  wake.sa_flags = SA_NOCLDSTOP;
  sigemptyset(&wake.sa_mask);
  sigaction(SIGCHLD, &wake, nullptr);
  sigdelset(&mask, SIGCHLD);
  return watch(program, child, ends[0], mask, timeout_seconds);
}

}  // namespace tamrix_host
