// The host's moves on POSIX systems. A crash is reported from the signal
// handler itself, with a line built without the heap, since what crashed may
// be the heap's neighbour: stdio or the C library's own lists.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "observe/host_moves.hpp"
#include "platform/signals_posix.hpp"
#include "programs/join.hpp"
#include "sandbox/channel.hpp"
#include "sandbox/child.hpp"
#include "sandbox/coverage.hpp"
#include "tamrix_host.hpp"

extern "C" char **environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace {
// Set in the child whose exit() is the host's move.
bool exiting_child = false;
}  // namespace

// A sanitizer's own exit-time work is the checker's, not the host's: in the
// child that exits, the leak check would read the whole checker's heap and,
// with abort_on_error, end the child by SIGABRT. The leak checker calls this
// hook, where it is there. The thread sanitizer's wait at exit (a second
// while it knows of other threads, as a forked child knows of its parent's)
// is turned off in its tests' options instead: its hook for default options
// would run before its runtime can.
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
  return exiting_child ? 1 : 0;
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)

namespace plugin_check::moves {
namespace {

// Where the plug-in's segments were, code and static data alike, as page
// numbers: as addresses they would read as pointers into the unloaded
// plug-in to the scan for those (observe/pointer_scan.hpp).
struct Range {
  std::uintptr_t first = 0;
  std::uintptr_t end = 0;
};
std::array<Range, 16> library{};
std::size_t library_ranges = 0;
std::uintptr_t page_bytes = 1;  // read once, outside the signal handler

bool in_library(std::uintptr_t address) {
  const std::uintptr_t page = address / page_bytes;
  for (std::size_t i = 0; i < library_ranges; ++i) {
    if (page >= library.at(i).first && page < library.at(i).end) {
      return true;
    }
  }
  return false;
}

pid_t checker = 0;
thread_local const char *move_now = nullptr;
thread_local const char *suspect_now = nullptr;

// In a handler too: the table's names are static.
const char *short_name(int signal) {
  const char *name = tamrix_host::platform::signal_name(signal);
  return name != nullptr ? name : "a signal";
}

// The result line, sent and the process ended, with calls safe in a handler.
void send_and_end(channel::FixedLine &line) {
  sandbox::child_write(line.text());
  syscall(SYS_exit_group, 0);
}

extern "C" void on_crash_after_unload(int signal, siginfo_t *info, void * /*context*/) {
  if (static_cast<pid_t>(syscall(SYS_getpid)) != checker) {
    // A child the host forked: it dies of the signal, which its parent reads.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    raise(signal);
    return;
  }
  channel::FixedLine line = channel::result_line(sandbox::child_token(), Verdict::fail);
  line.add("after unload, ").add(move_now != nullptr ? move_now : "the host").add(" crashed with ");
  line.add(short_name(signal));
  const bool located = signal == SIGSEGV || signal == SIGBUS || signal == SIGILL;
  if (located && in_library(reinterpret_cast<std::uintptr_t>(info->si_addr))) {
    line.add(" in memory the unloaded plug-in had mapped");
    if (suspect_now != nullptr) {
      line.add(": ").add(suspect_now).add(" left there");
    }
  } else if (suspect_now != nullptr) {
    line.add("; likely cause: ").add(suspect_now).add(" left by the plug-in");
  }
  send_and_end(line);
}

// Built before a timer's signal may come, since the handler cannot allocate.
std::array<char, 160> timer_words{};

extern "C" void on_timer_after_unload(int signal) {
  channel::FixedLine line = channel::result_line(sandbox::child_token(), Verdict::fail);
  line.add("after unload, the host took ").add(short_name(signal));
  line.add(" from a timer the plug-in left armed (").add(timer_words.data()).add(")");
  send_and_end(line);
}

struct Timer {
  std::string what;  // "setitimer ITIMER_REAL"
  int signal = 0;
  double seconds = 0;       // until it fires
  bool wall_clock = false;  // whether waiting brings it closer
};

double seconds_of(const timeval &value) {
  return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

double seconds_of(const timespec &value) {
  return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_nsec) / 1e9;
}

// The kernel's list of POSIX timers: "ID: n", "signal: s/...", "ClockID: c".
std::vector<Timer> posix_timers() {
  std::vector<Timer> timers;
  std::ifstream list("/proc/self/timers");
  std::string key;
  long id = -1;
  int signal = 0;
  for (std::string line; std::getline(list, line);) {
    std::istringstream words(line);
    words >> key;
    if (key == "ID:") {
      words >> id;
    } else if (key == "signal:") {
      words >> signal;
    } else if (key == "ClockID:" && id >= 0) {
      int clock = 0;
      words >> clock;
      struct itimerspec left {};
      if (syscall(SYS_timer_gettime, id, &left) == 0 &&
          (left.it_value.tv_sec != 0 || left.it_value.tv_nsec != 0)) {
        timers.push_back(
            {"a POSIX timer, timer_create", signal, seconds_of(left.it_value),
             clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC || clock == CLOCK_BOOTTIME});
      }
      id = -1;
    }
  }
  return timers;
}

std::vector<Timer> timers_armed() {
  std::vector<Timer> timers;
  for (const auto &[which, name, signal] :
       {std::tuple{ITIMER_REAL, "setitimer ITIMER_REAL", SIGALRM},
        std::tuple{ITIMER_VIRTUAL, "setitimer ITIMER_VIRTUAL", SIGVTALRM},
        std::tuple{ITIMER_PROF, "setitimer ITIMER_PROF", SIGPROF}}) {
    itimerval left{};
    if (getitimer(which, &left) == 0 && seconds_of(left.it_value) > 0) {
      timers.push_back({name, signal, seconds_of(left.it_value), which == ITIMER_REAL});
    }
  }
  for (Timer &timer : posix_timers()) {
    timers.push_back(std::move(timer));
  }
  return timers;
}

std::string seconds_text(double seconds) {
  std::ostringstream text;
  text.precision(2);
  text << seconds << " s";
  return text.str();
}

}  // namespace

void remember_library_of(const void *address) {
  page_bytes = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  struct Search {
    std::uintptr_t address;
    bool found;
  } search{reinterpret_cast<std::uintptr_t>(address), false};
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *data) {
        auto &wanted = *static_cast<Search *>(data);
        const std::uintptr_t page = page_bytes;
        std::array<Range, library.size()> ranges{};
        std::size_t count = 0;
        bool holds = false;
        for (int i = 0; i < info->dlpi_phnum && count < ranges.size(); ++i) {
          const ElfW(Phdr) &segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD) {
            continue;
          }
          const std::uintptr_t from = info->dlpi_addr + segment.p_vaddr;
          const std::uintptr_t to = from + segment.p_memsz;
          holds = holds || (wanted.address >= from && wanted.address < to);
          ranges.at(count++) = {from / page, (to + page - 1) / page};
        }
        if (holds) {
          library = ranges;
          library_ranges = count;
          wanted.found = true;
        }
        return holds ? 1 : 0;
      },
      &search);
}

void report_crashes() {
  checker = getpid();
  struct sigaction action {};
  action.sa_sigaction = on_crash_after_unload;
  // On the thread's own stack: an alternate one may be what the plug-in broke.
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (const int signal : tamrix_host::platform::crash_signals()) {
    sigaction(signal, &action, nullptr);
  }
}

void making(const char *move, const char *suspect) {
  move_now = move;
  suspect_now = suspect;
  tamrix_host::entering(move);
}

std::string fork_and_reap() {
  making("the host's fork", "a fork handler (pthread_atfork)");
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  int status = 0;
  while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (child > 0 && WIFSIGNALED(status)) {
    return std::string("after unload, the host's forked child died of ") +
           short_name(WTERMSIG(status)) +
           " before it ran a line of the host's; likely cause: a fork handler for the child "
           "(pthread_atfork) left in the unloaded plug-in's code";
  }
  return {};
}

std::string take_signal(const char *whose) {
  stack_t stack{};
  if (sigaltstack(nullptr, &stack) == 0 && (stack.ss_flags & SS_DISABLE) == 0 &&
      in_library(reinterpret_cast<std::uintptr_t>(stack.ss_sp))) {
    return std::string("after unload, the alternate signal stack (sigaltstack) of ") + whose +
           " was in memory the unloaded plug-in had mapped, so the next signal that thread "
           "takes crashes the host";
  }
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = [](int /*signal*/) {};
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGURG, &action, &previous);
  raise(SIGURG);
  // cppcheck-suppress unreachableCode ; raise() returns once the handler has run
  sigaction(SIGURG, &previous, nullptr);
  return {};
}

std::string print_to_both() {
  std::string fault;
  for (const auto &[stream, move, name] :
       {std::tuple{stdout, "printing to standard output", "standard output"},
        std::tuple{stderr, "printing to standard error", "standard error"}}) {
    making(move, "its buffer (setvbuf)");
    const bool wide = std::fwide(stream, 0) > 0;
    if ((std::fputs("the host goes on\n", stream) < 0 || std::fflush(stream) != 0) &&
        fault.empty()) {
      fault = std::string("after unload, printing to ") + name + " failed" +
              (wide ? ": the plug-in left the stream wide-oriented (fwide)" : "");
    }
  }
  return fault;
}

std::string read_environment() {
  making("reading the environment",
         "an entry it added with putenv, or an environ array of its own,");
  std::size_t bytes = 0;
  for (const char *name : {"PATH", "HOME", "LANG", "TZ"}) {
    const char *value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): one thread reads
    bytes += value != nullptr ? std::strlen(value) : 0;
  }
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    bytes += std::strlen(*entry);
  }
  static_cast<void>(bytes);
  return {};
}

std::string exit_in_forked_child(double limit_seconds) {
  // As a host flushes before it forks, so that the child writes nothing of
  // the parent's twice.
  making("the host's flush of every stream before a fork", "a stream's functions (fopencookie)");
  std::fflush(nullptr);
  making("a forked child's exit()", "an exit handler (atexit, on_exit)");
  const pid_t child = fork();
  if (child == 0) {
    // Its exit writes the coverage it counts itself, not its parent's again.
    sandbox::coverage_child_started();
    exiting_child = true;
    std::exit(0);  // NOLINT(concurrency-mt-unsafe): the child has this one thread
  }
  making(nullptr, nullptr);
  if (child < 0) {
    return {};
  }
  int status = 0;
  timespec pause{0, 100'000};
  const double pauses_at_most = 10e-3;
  for (double waited = 0; waitpid(child, &status, WNOHANG) == 0;) {
    if (waited >= limit_seconds) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return "after unload, a forked child's exit() had not ended after " +
             seconds_text(limit_seconds) +
             "; likely cause: an exit handler (atexit, on_exit) or a stream's functions "
             "(fopencookie) left by the plug-in";
    }
    nanosleep(&pause, nullptr);
    waited += seconds_of(pause);
    pause.tv_nsec = std::min(pause.tv_nsec * 2, static_cast<long>(pauses_at_most * 1e9));
  }
  if (WIFSIGNALED(status)) {
    return std::string("after unload, a forked child's exit() crashed with ") +
           short_name(WTERMSIG(status)) +
           "; likely cause: an exit handler (atexit, on_exit) or a stream's functions "
           "(fopencookie) left by the plug-in in its unloaded code";
  }
  return {};
}

namespace {
constexpr std::string_view host_input = "the host's input\n";
bool input_given = false;
}  // namespace

void give_input() {
  std::array<int, 2> ends{-1, -1};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) {
    return;
  }
  input_given = write(ends[1], host_input.data(), host_input.size()) ==
                    static_cast<ssize_t>(host_input.size()) &&
                dup2(ends[0], STDIN_FILENO) == STDIN_FILENO;
  close(ends[0]);
  close(ends[1]);
}

std::string read_input() {
  if (!input_given) {
    return {};
  }
  making("reading standard input", "its buffer (setvbuf)");
  const bool wide = std::fwide(stdin, 0) > 0;
  std::array<char, 64> line{};
  errno = 0;
  if (std::fgets(line.data(), static_cast<int>(line.size()), stdin) == nullptr) {
    const char *cause = wide              ? ": the plug-in left the stream wide-oriented (fwide)"
                        : errno == EFAULT ? ": its buffer (setvbuf) was memory that is gone"
                                          : "";
    return std::string("after unload, reading standard input failed") + cause;
  }
  std::string read = line.data();
  if (read == host_input) {
    return {};
  }
  for (char &byte : read) {
    byte = std::isprint(static_cast<unsigned char>(byte)) != 0 ? byte : '?';
  }
  return "after unload, the host read \"" + read + "\" from standard input where it had sent \"" +
         std::string(host_input.substr(0, host_input.size() - 1)) +
         "\": the plug-in read or pushed back input of the host's";
}

std::string wait_for_timers(double limit_seconds) {
  const std::vector<Timer> timers = timers_armed();
  if (timers.empty()) {
    return {};
  }
  const Timer *soonest = nullptr;
  for (const Timer &timer : timers) {
    if (timer.wall_clock && timer.signal > 0 && timer.signal < SIGRTMIN &&
        (soonest == nullptr || timer.seconds < soonest->seconds)) {
      soonest = &timer;
    }
  }
  if (soonest != nullptr && soonest->seconds <= limit_seconds) {
    std::snprintf(timer_words.data(), timer_words.size(), "%s", soonest->what.c_str());
    making("the host's wait past the timers the plug-in left armed", nullptr);
    struct sigaction action {};
    action.sa_handler = on_timer_after_unload;
    sigemptyset(&action.sa_mask);
    sigaction(soonest->signal, &action, nullptr);
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, soonest->signal);
    pthread_sigmask(SIG_UNBLOCK, &wanted, nullptr);
    // A little past it, for the kernel's own rounding.
    const double wait = soonest->seconds + 0.2;
    timespec left{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
  const std::string text = tamrix_host::join(timers, ", ", [](const Timer &timer) {
    return timer.what + " (" + short_name(timer.signal) + ")" + " due in " +
           seconds_text(timer.seconds);
  });
  return "after unload, the plug-in had left timers armed: " + text +
         "; each sends its signal to the host, whose default action ends it";
}

}  // namespace plugin_check::moves
