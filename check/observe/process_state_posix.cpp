// The snapshot on Linux: most of it from /proc/self, the rest from the calls
// that report each setting.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

#include "observe/fp_control.hpp"
#include "observe/process_state.hpp"
#include "platform/signals_posix.hpp"

extern "C" char **environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace plugin_check {
namespace {

namespace fs = std::filesystem;

// SA_RESTORER, which only the kernel's headers name; the same bit on x86-64
// and AArch64.
constexpr long sa_restorer = 0x04000000;

struct Category {
  int id;
  const char *name;
};

constexpr std::array<Category, 12> locale_categories = {{
    {LC_CTYPE, "LC_CTYPE"},
    {LC_NUMERIC, "LC_NUMERIC"},
    {LC_TIME, "LC_TIME"},
    {LC_COLLATE, "LC_COLLATE"},
    {LC_MONETARY, "LC_MONETARY"},
    {LC_MESSAGES, "LC_MESSAGES"},
    {LC_PAPER, "LC_PAPER"},
    {LC_NAME, "LC_NAME"},
    {LC_ADDRESS, "LC_ADDRESS"},
    {LC_TELEPHONE, "LC_TELEPHONE"},
    {LC_MEASUREMENT, "LC_MEASUREMENT"},
    {LC_IDENTIFICATION, "LC_IDENTIFICATION"},
}};

long entries_in(const fs::path &folder) {
  std::error_code error;
  long count = 0;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

std::vector<long> numbers_in(std::istream &in) {
  std::vector<long> numbers;
  for (long number = 0; in >> number;) {
    numbers.push_back(number);
  }
  return numbers;
}

// The processes whose parent is this one: each thread's children from
// /proc, or where the kernel keeps no such list, every process's parent.
std::vector<long> child_processes() {
  std::vector<long> children;
  std::error_code error;
  bool listed = false;
  for (fs::directory_iterator task("/proc/self/task", error), end; !error && task != end;
       task.increment(error)) {
    std::ifstream file(task->path() / "children");
    listed = listed || file.is_open();
    for (const long pid : numbers_in(file)) {
      children.push_back(pid);
    }
  }
  if (!listed) {
    const std::string self = std::to_string(getpid());
    for (fs::directory_iterator process("/proc", error), end; !error && process != end;
         process.increment(error)) {
      std::ifstream stat(process->path() / "stat");
      std::string line;
      std::getline(stat, line);
      // pid (name) state ppid ...; the name may hold spaces and brackets.
      const std::size_t after_name = line.rfind(')');
      if (after_name != std::string::npos) {
        std::istringstream rest(line.substr(after_name + 1));
        std::string state;
        std::string parent;
        rest >> state >> parent;
        if (parent == self) {
          children.push_back(std::stol(process->path().filename().string()));
        }
      }
    }
  }
  std::sort(children.begin(), children.end());
  children.erase(std::unique(children.begin(), children.end()), children.end());
  return children;
}

std::string stream_target(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    return "nothing (closed)";
  }
  std::error_code error;
  const fs::path target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  return error
             ? "device " + std::to_string(status.st_dev) + " inode " + std::to_string(status.st_ino)
             : target.string();
}

std::string signal_name(int number) {
  if (number >= SIGRTMIN && number <= SIGRTMAX) {
    return "SIGRTMIN+" + std::to_string(number - SIGRTMIN);
  }
  const char *name = tamrix_host::platform::signal_name(number);
  return name != nullptr ? std::string(name) : "signal " + std::to_string(number);
}

std::string disposition(std::uintptr_t handler) {
  // NOLINTBEGIN(performance-no-int-to-ptr,cppcoreguidelines-pro-type-cstyle-cast)
  if (handler == reinterpret_cast<std::uintptr_t>(SIG_DFL)) {
    return "default";
  }
  if (handler == reinterpret_cast<std::uintptr_t>(SIG_IGN)) {
    return "ignored";
  }
  // NOLINTEND(performance-no-int-to-ptr,cppcoreguidelines-pro-type-cstyle-cast)
  return "handler";
}

// Flags shape how a handler runs; a default or ignored action has none to
// run, save SIGCHLD's, whose flags say what becomes of children.
bool flags_changed(const SignalState &before, const SignalState &after) {
  return before.flags != after.flags &&
         (disposition(after.handler) == "handler" || after.number == SIGCHLD);
}

}  // namespace

ProcessState snapshot() {
  ProcessState state;
  state.fp = fp::read_control();
  sigset_t blocked;
  sigemptyset(&blocked);
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction action {};
    if (sigaction(number, nullptr, &action) == 0) {
      // The C library adds SA_RESTORER to every action it installs, so an
      // action saved and put back reads with it although nothing changed.
      state.signals.push_back({number, reinterpret_cast<std::uintptr_t>(action.sa_handler),
                               static_cast<long>(action.sa_flags) & ~sa_restorer,
                               sigismember(&blocked, number) == 1});
    }
  }
  state.threads = entries_in("/proc/self/task");
  state.children = child_processes();
  state.descriptors = entries_in("/proc/self/fd");
  for (std::size_t fd = 0; fd < state.standard_streams.size(); ++fd) {
    state.standard_streams.at(fd) = stream_target(static_cast<int>(fd));
  }
  std::array<char, PATH_MAX> folder{};
  state.working_directory = getcwd(folder.data(), folder.size()) != nullptr
                                ? folder.data()
                                : "(unknown: " + std::generic_category().message(errno) + ")";
  const mode_t mask = umask(0);
  umask(mask);
  state.umask = static_cast<int>(mask);
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    state.environment.emplace_back(*entry);
  }
  std::sort(state.environment.begin(), state.environment.end());
  for (const Category &category : locale_categories) {
    // Only this thread runs while a snapshot is taken.
    const char *name = std::setlocale(category.id, nullptr);  // NOLINT(concurrency-mt-unsafe)
    state.locale.push_back(std::string(category.name) + "=" + (name != nullptr ? name : "?"));
  }
  state.table = read_process_table();
  return state;
}

std::vector<std::string> signal_changes(const std::vector<SignalState> &before,
                                        const std::vector<SignalState> &after) {
  std::vector<std::string> changes;
  for (const SignalState &now : after) {
    const auto old = std::find_if(before.begin(), before.end(),
                                  [&now](const SignalState &s) { return s.number == now.number; });
    if (old == before.end()) {
      continue;
    }
    const std::string name = signal_name(now.number);
    const std::string was = disposition(old->handler);
    const std::string is = disposition(now.handler);
    if (old->handler != now.handler) {
      if (is == "handler") {
        changes.push_back(was == "handler" ? "replaced the handler of " + name
                                           : "installed a handler for " + name);
      } else if (is == "ignored") {
        changes.push_back("set " + name + " to be ignored");
      } else {
        changes.push_back(was == "handler" ? "removed the handler of " + name
                                           : "restored the default action of " + name);
      }
    } else if (flags_changed(*old, now)) {
      changes.push_back("changed the flags of " + name + "'s action");
    }
    if (old->blocked != now.blocked) {
      changes.push_back((now.blocked ? "blocked " : "unblocked ") + name);
    }
  }
  return changes;
}

bool library_still_loaded(const std::string &path) {
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) {
    return false;
  }
  dlclose(library);
  return true;
}

}  // namespace plugin_check
