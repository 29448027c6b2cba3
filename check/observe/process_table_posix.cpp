// The process table on Linux: every setting of the process and the calling
// thread that the kernel or the C library will tell, one row each. Counters
// that move on their own (memory in use, context switches, time) are not
// rows, and the checker's own work (its threads, descriptors, heap) is
// left to the checks that know it. The C library keeps no readable record
// of srand's seed or of mallopt's settings, so neither is a row.
#include <dirent.h>
#include <dlfcn.h>
#include <sched.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "observe/fp_control.hpp"
#include "observe/process_state.hpp"
#include "platform/signals_posix.hpp"

extern "C" char **environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

#ifdef __GLIBC__
// The C library's own standard streams, which stdin, stdout and stderr point
// at until someone assigns them.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-fio38-c,readability-redundant-declaration)
extern "C" FILE _IO_2_1_stdin_;
extern "C" FILE _IO_2_1_stdout_;
extern "C" FILE _IO_2_1_stderr_;
// NOLINTEND(bugprone-reserved-identifier,cert-fio38-c,readability-redundant-declaration)
#endif

namespace plugin_check {

struct Mapping {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::string permissions;
  std::string path;
};

// Each file is read once per snapshot, when the first row needs it.
struct TableSources {
  std::optional<std::vector<std::pair<std::string, std::string>>> status;
  std::optional<std::vector<Mapping>> maps;
};

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

using Value = std::optional<std::string>;

std::string hex(std::uintptr_t number) {
  std::array<char, 24> text{};
  std::snprintf(text.data(), text.size(), "0x%llx", static_cast<unsigned long long>(number));
  return text.data();
}

std::string hex(const void *pointer) { return hex(reinterpret_cast<std::uintptr_t>(pointer)); }

Value status_field(TableSources &sources, std::string_view name) {
  if (!sources.status) {
    sources.status.emplace();
    // The calling thread's, since capabilities, filters and affinity are per thread.
    std::ifstream file("/proc/thread-self/status");
    for (std::string line; std::getline(file, line);) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) {
        const std::size_t value = line.find_first_not_of(" \t", colon + 1);
        sources.status->emplace_back(line.substr(0, colon),
                                     value == std::string::npos ? "" : line.substr(value));
      }
    }
  }
  for (const auto &[field, value] : *sources.status) {
    if (field == name) {
      return value;
    }
  }
  return std::nullopt;
}

const std::vector<Mapping> &mappings(TableSources &sources) {
  if (!sources.maps) {
    sources.maps.emplace();
    std::ifstream file("/proc/self/maps");
    for (std::string line; std::getline(file, line);) {
      std::istringstream fields(line);
      Mapping mapping;
      std::string range;
      std::string offset;
      std::string device;
      std::string inode;
      fields >> range >> mapping.permissions >> offset >> device >> inode;
      std::getline(fields >> std::ws, mapping.path);
      const std::size_t dash = range.find('-');
      if (dash != std::string::npos) {
        mapping.start = std::stoull(range.substr(0, dash), nullptr, 16);
        mapping.end = std::stoull(range.substr(dash + 1), nullptr, 16);
        sources.maps->push_back(std::move(mapping));
      }
    }
  }
  return *sources.maps;
}

// Whether `size` bytes at `address` can be read without a fault: a stream
// pointer may lead into a library that is gone.
bool readable(TableSources &sources, const void *address, std::size_t size) {
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  return std::any_of(mappings(sources).begin(), mappings(sources).end(),
                     [start, size](const Mapping &mapping) {
                       return mapping.start <= start && start + size <= mapping.end &&
                              mapping.permissions.starts_with("r");
                     });
}

// Items of the mappings that `keep` names, one a line.
template <typename Keep>
std::string mapped(TableSources &sources, Keep keep) {
  std::vector<std::string> items;
  for (const Mapping &mapping : mappings(sources)) {
    if (std::string item = keep(mapping); !item.empty()) {
      items.push_back(std::move(item));
    }
  }
  std::sort(items.begin(), items.end());
  items.erase(std::unique(items.begin(), items.end()), items.end());
  std::string text;
  for (const std::string &item : items) {
    text += item + "\n";
  }
  return text;
}

Value libraries(TableSources &sources) {
  return mapped(sources, [](const Mapping &mapping) {
    return mapping.path.starts_with("/") && mapping.permissions.find('x') != std::string::npos
               ? mapping.path.substr(mapping.path.rfind('/') + 1)
               : std::string();
  });
}

// The stack the loader makes executable for a file that asks is the
// exec-stack check's to judge, from the file.
Value writable_and_executable(TableSources &sources) {
  return mapped(sources, [](const Mapping &mapping) {
    return (mapping.permissions.starts_with("rwx") || mapping.permissions.starts_with("-wx")) &&
                   mapping.path != "[stack]"
               ? hex(mapping.start) + (mapping.path.empty() ? "" : " (" + mapping.path + ")")
               : std::string();
  });
}

// A sanitizer's runtime maps and remaps large regions of its own at any
// time, so there the big mappings are not compared.
Value big_anonymous(TableSources &sources) {
  if (sanitized) {
    return std::nullopt;
  }
  constexpr std::uintptr_t big = std::uintptr_t{32} << 20U;
  return mapped(sources, [](const Mapping &mapping) {
    return mapping.path.empty() && !mapping.permissions.starts_with("---") &&
                   mapping.end - mapping.start >= big
               ? std::to_string((mapping.end - mapping.start) >> 20U) + " MiB mapping at " +
                     hex(mapping.start)
               : std::string();
  });
}

std::string text_of(const std::string &path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// "ID: 0\nsignal: 14/...\nnotify: signal/pid.7\nClockID: 1\n" per timer.
Value posix_timers(TableSources & /*sources*/) {
  std::istringstream file(text_of("/proc/self/timers"));
  std::string text;
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with("ID: ")) {
      // Appended in parts: a C string joined to a temporary trips the
      // optimiser's false -Wrestrict in GCC 12.
      text += text.empty() ? "" : "\n";
      text += line.substr(4);
    } else if (line.starts_with("signal: ")) {
      const int number = static_cast<int>(std::strtol(line.c_str() + 8, nullptr, 10));
      text += " (";
      text += tamrix_host::platform::signal_words(number);
      text += ")";
    }
  }
  return text;
}

Value link_target(const std::string &path) {
  std::array<char, 4096> target{};
  const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
  return length < 0 ? Value() : Value(std::string(target.data(), static_cast<std::size_t>(length)));
}

// Where each descriptor above 2 leads; 0, 1 and 2 are descriptors-left's.
Value descriptor_targets(TableSources & /*sources*/) {
  DIR *folder = opendir("/proc/self/fd");
  if (folder == nullptr) {
    return std::nullopt;
  }
  std::vector<std::pair<int, std::string>> targets;
  // The directory stream is this call's own.
  while (const dirent *entry = readdir(folder)) {  // NOLINT(concurrency-mt-unsafe)
    const int fd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
    if (fd > 2 && fd != dirfd(folder)) {
      targets.emplace_back(
          fd, link_target(std::string("/proc/self/fd/") + entry->d_name).value_or("(gone)"));
    }
  }
  closedir(folder);
  std::sort(targets.begin(), targets.end());
  std::string text;
  for (const auto &[fd, target] : targets) {
    text += std::to_string(fd) + " " + target + "\n";
  }
  return text;
}

std::string limit_text(rlim_t limit) {
  return limit == RLIM_INFINITY ? "unlimited" : std::to_string(limit);
}

Value limit(int resource) {
  rlimit limits{};
  if (getrlimit(static_cast<__rlimit_resource_t>(resource), &limits) != 0) {
    return std::nullopt;
  }
  return limit_text(limits.rlim_cur) + " " + limit_text(limits.rlim_max);
}

// NOLINTBEGIN(cppcoreguidelines-pro-type-vararg): prctl is variadic
Value prctl_returned(int option, unsigned long argument = 0) {
  const int result = prctl(option, argument, 0UL, 0UL, 0UL);
  return result < 0 ? Value() : Value(std::to_string(result));
}

Value prctl_stored(int option) {
  int stored = 0;
  return prctl(option, &stored, 0UL, 0UL, 0UL) < 0 ? Value() : Value(std::to_string(stored));
}

Value thread_name(TableSources & /*sources*/) {
  std::array<char, 17> name{};
  return prctl(PR_GET_NAME, name.data(), 0UL, 0UL, 0UL) < 0 ? Value() : Value(name.data());
}
// NOLINTEND(cppcoreguidelines-pro-type-vararg)

Value death_signal(TableSources & /*sources*/) {
  const Value number = prctl_stored(PR_GET_PDEATHSIG);
  if (!number || *number == "0") {
    return number ? Value("none") : number;
  }
  return Value(tamrix_host::platform::signal_words(std::stoi(*number)));
}

Value on_off(const Value &number) { return number ? Value(*number == "0" ? "off" : "on") : number; }

Value scheduling(TableSources & /*sources*/) {
  const int policy = sched_getscheduler(0);
  sched_param parameters{};
  if (policy < 0 || sched_getparam(0, &parameters) != 0) {
    return std::nullopt;
  }
  constexpr std::array<const char *, 7> names = {"SCHED_OTHER",   "SCHED_FIFO", "SCHED_RR",
                                                 "SCHED_BATCH",   "SCHED_ISO",  "SCHED_IDLE",
                                                 "SCHED_DEADLINE"};
  const auto plain = static_cast<std::size_t>(policy & ~SCHED_RESET_ON_FORK);
  std::string text = plain < names.size() ? names.at(plain) : std::to_string(plain);
  if (parameters.sched_priority != 0) {
    text += " priority " + std::to_string(parameters.sched_priority);
  }
  return (policy & SCHED_RESET_ON_FORK) != 0 ? text + " reset on fork" : text;
}

Value nice_value(TableSources & /*sources*/) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  return errno != 0 ? Value() : Value(std::to_string(nice));
}

Value interval_timer(int which) {
  itimerval timer{};
  if (getitimer(static_cast<__itimer_which_t>(which), &timer) != 0) {
    return std::nullopt;
  }
  // What is left of it moves by itself; whether it is armed does not.
  if (timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0) {
    return "disarmed";
  }
  if (timer.it_interval.tv_sec == 0 && timer.it_interval.tv_usec == 0) {
    return "armed";
  }
  return "armed, every " + std::to_string(timer.it_interval.tv_sec) + "." +
         std::to_string(timer.it_interval.tv_usec / 100000) + " s";
}

Value alternate_stack(TableSources & /*sources*/) {
  stack_t stack{};
  if (sigaltstack(nullptr, &stack) != 0) {
    return std::nullopt;
  }
  if ((stack.ss_flags & SS_DISABLE) != 0) {
    return "none";
  }
  return std::to_string(stack.ss_size) + " bytes at " + hex(stack.ss_sp);
}

Value ids(int (*read)(unsigned *, unsigned *, unsigned *)) {
  unsigned real = 0;
  unsigned effective = 0;
  unsigned saved = 0;
  if (read(&real, &effective, &saved) != 0) {
    return std::nullopt;
  }
  return "real " + std::to_string(real) + ", effective " + std::to_string(effective) + ", saved " +
         std::to_string(saved);
}

Value groups(TableSources & /*sources*/) {
  std::vector<gid_t> list(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  const int count = getgroups(static_cast<int>(list.size()), list.data());
  if (count < 0) {
    return std::nullopt;
  }
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += i == 0 ? "" : ",";
    text += std::to_string(list.at(static_cast<std::size_t>(i)));
  }
  return text.empty() ? "none" : text;
}

Value x87_stack(TableSources & /*sources*/) {
  const int used = fp::x87_registers_in_use();
  return used < 0 ? Value() : Value(std::to_string(used) + " of 8");
}

// Which FILE a standard stream's variable points at.
Value stream_identity(FILE *stream) {
#ifdef __GLIBC__
  const std::array<std::pair<FILE *, const char *>, 3> own = {
      {{&_IO_2_1_stdin_, "stdin's own FILE"},
       {&_IO_2_1_stdout_, "stdout's own FILE"},
       {&_IO_2_1_stderr_, "stderr's own FILE"}}};
  for (const auto &[file, name] : own) {
    if (stream == file) {
      return name;
    }
  }
#endif
  return "the FILE at " + hex(stream);
}

Value orientation(TableSources &sources, FILE *stream) {
  if (!readable(sources, stream, sizeof(FILE))) {
    return std::nullopt;
  }
  // Byte orientation comes with the first printf, the host's or ours; only
  // wide orientation is a change anyone made.
  return fwide(stream, 0) > 0 ? "wide-oriented" : "not wide";
}

// Where the stream's buffer is: the C library's own, or one a caller gave
// it with setvbuf, which dangles once that caller's library is unloaded.
Value stream_buffer(TableSources &sources, FILE *stream) {
#ifdef __GLIBC__
  if (!readable(sources, stream, sizeof(FILE))) {
    return std::nullopt;
  }
  // The C library's flags for a caller's buffer and for none at all.
  constexpr int user_buffer = 0x1;
  constexpr int unbuffered = 0x2;
  std::string text = (stream->_flags & user_buffer) != 0 && stream->_IO_buf_base != nullptr
                         ? "a buffer at " + hex(stream->_IO_buf_base)
                         : "the C library's own buffer";
  return (stream->_flags & unbuffered) != 0 ? text + ", unbuffered" : text;
#else
  static_cast<void>(sources);
  static_cast<void>(stream);
  return std::nullopt;
#endif
}

Value thread_locale(TableSources & /*sources*/) {
  return uselocale(nullptr) == LC_GLOBAL_LOCALE ? "the global locale" : "a locale of its own";
}

Value namespace_of(const char *kind) {
  return link_target(std::string("/proc/thread-self/ns/") + kind);
}

Value locked_memory(TableSources &sources) {
  const Value locked = status_field(sources, "VmLck");
  return locked ? Value(locked->starts_with("0 ") ? "none" : "some") : locked;
}

// ---- The rows of the checks' own aspects.

namespace fs = std::filesystem;

// SA_RESTORER, which only the kernel's headers name; the same bit on x86-64
// and AArch64.
constexpr long sa_restorer = 0x04000000;

Value fp_control(TableSources & /*sources*/) {
  const std::array<std::uint32_t, 2> words = fp::read_control();
  return fp::hex(words[0], 8) + " " + fp::hex(words[1], 8);
}

std::array<std::uint32_t, 2> fp_words(const std::string &text) {
  char *second = nullptr;
  const auto first = static_cast<std::uint32_t>(std::strtoul(text.c_str(), &second, 16));
  return {first, static_cast<std::uint32_t>(std::strtoul(second, nullptr, 16))};
}

std::vector<std::string> fp_changed(const std::string &before, const std::string &after) {
  return fp::changes(fp_words(before), fp_words(after));
}

struct SignalState {
  int number = 0;
  std::uintptr_t handler = 0;  // SIG_DFL, SIG_IGN or the function, as a number
  long flags = 0;
  bool blocked = false;
};

// "number handler flags blocked" a line.
Value signal_states(TableSources & /*sources*/) {
  sigset_t blocked;
  sigemptyset(&blocked);
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  std::string text;
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction action {};
    if (sigaction(number, nullptr, &action) == 0) {
      // The C library adds SA_RESTORER to every action it installs, so an
      // action saved and put back reads with it although nothing changed.
      text += std::to_string(number) + " " +
              std::to_string(reinterpret_cast<std::uintptr_t>(action.sa_handler)) + " " +
              std::to_string(static_cast<long>(action.sa_flags) & ~sa_restorer) + " " +
              (sigismember(&blocked, number) == 1 ? "1" : "0") + "\n";
    }
  }
  return text;
}

std::vector<SignalState> signal_list(const std::string &text) {
  std::vector<SignalState> states;
  std::istringstream in(text);
  for (SignalState state; in >> state.number >> state.handler >> state.flags >> state.blocked;) {
    states.push_back(state);
  }
  return states;
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

std::vector<std::string> signals_changed(const std::string &before_text,
                                         const std::string &after_text) {
  const std::vector<SignalState> before = signal_list(before_text);
  std::vector<std::string> changes;
  for (const SignalState &now : signal_list(after_text)) {
    const auto old = std::find_if(before.begin(), before.end(),
                                  [&now](const SignalState &s) { return s.number == now.number; });
    if (old == before.end()) {
      continue;
    }
    const std::string name = tamrix_host::platform::signal_words(now.number);
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

Value entries_in(const fs::path &folder) {
  std::error_code error;
  long count = 0;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    ++count;
  }
  return error ? Value() : Value(std::to_string(count));
}

std::vector<long> numbers_in(std::istream &in) {
  std::vector<long> numbers;
  for (long number = 0; in >> number;) {
    numbers.push_back(number);
  }
  return numbers;
}

// The processes whose parent is this one, one id a line in order: each
// thread's children from /proc, or where the kernel keeps no such list,
// every process's parent.
Value child_processes(TableSources & /*sources*/) {
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
  std::string text;
  for (const long pid : children) {
    text += std::to_string(pid) + "\n";
  }
  return text;
}

std::vector<std::string> processes_started(const std::string &before, const std::string &after) {
  std::istringstream was(before);
  std::istringstream is(after);
  const std::vector<long> old = numbers_in(was);
  std::string new_ids;
  long started = 0;
  for (const long pid : numbers_in(is)) {
    if (std::find(old.begin(), old.end(), pid) == old.end()) {
      if (started++ != 0) {
        new_ids += ", ";
      }
      new_ids += std::to_string(pid);
    }
  }
  return started == 0 ? std::vector<std::string>()
                      : std::vector<std::string>{"started " + std::to_string(started) +
                                                 (started == 1 ? " process" : " processes") +
                                                 " that did not end (process id " + new_ids + ")"};
}

Value stream_target(int fd) {
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

Value working_directory(TableSources & /*sources*/) {
  std::array<char, PATH_MAX> folder{};
  return getcwd(folder.data(), folder.size()) != nullptr
             ? folder.data()
             : "(unknown: " + std::generic_category().message(errno) + ")";
}

Value file_mask(TableSources & /*sources*/) {
  const mode_t mask = umask(0);
  umask(mask);
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mask));
  return text.data();
}

Value environment(TableSources & /*sources*/) {
  std::vector<std::string> entries;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  std::sort(entries.begin(), entries.end());
  std::string text;
  for (const std::string &entry : entries) {
    text += entry + '\0';
  }
  return text;
}

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

Value locale(TableSources & /*sources*/) {
  std::string text;
  for (const Category &category : locale_categories) {
    // Only this thread runs while a snapshot is taken.
    const char *name = std::setlocale(category.id, nullptr);  // NOLINT(concurrency-mt-unsafe)
    text += std::string(category.name) + "=" + (name != nullptr ? name : "?") + '\0';
  }
  return text;
}

constexpr auto failure = RowLevel::failure;
constexpr auto warning = RowLevel::warning;

// A row each aspect's field, resource limit, status line and namespace, by one pattern.
// NOLINTBEGIN(cppcoreguidelines-macro-usage)
// clang-format off
#define ASPECT_ROW(row, of, how, text, reader)                                    \
  Row{.name = (row), .wording = Wording::how, .words = (text), .read = (reader), \
      .aspect = Aspect::of}
#define OWN_ROW(row, of, reader, words)                                                  \
  Row{.name = (row), .wording = Wording::own, .read = (reader), .aspect = Aspect::of, \
      .say = (words)}
#define STREAM_ROW(fd)                                                            \
  ASPECT_ROW("descriptor " #fd, descriptors, value,                               \
             "pointed descriptor " #fd " at %a instead of %b",                    \
             [](TableSources &) { return stream_target(fd); })
#define LIMIT_ROW(resource)                                                \
  Row{#resource, failure, Wording::limit, "%d " #resource " from %b to %a", \
      [](TableSources &) { return limit(resource); }}
#define STATUS_ROW(field, level, words)                                     \
  Row{field, level, Wording::value, words,                                  \
      [](TableSources &sources) { return status_field(sources, field); }}
#define NAMESPACE_ROW(kind)                                                      \
  Row{"namespace " kind, failure, Wording::value,                                \
      "moved the calling thread into another " kind " namespace (%b -> %a)",     \
      [](TableSources &) { return namespace_of(kind); }}
// clang-format on
// NOLINTEND(cppcoreguidelines-macro-usage)

constexpr std::array rows = {
    OWN_ROW("floating-point control", fp_environment, fp_control, fp_changed),
    OWN_ROW("signals", signals, signal_states, signals_changed),
    OWN_ROW(
        "threads", threads, [](TableSources &) { return entries_in("/proc/self/task"); },
        threads_changed),
    OWN_ROW("child processes", processes, child_processes, processes_started),
    OWN_ROW(
        "descriptors", descriptors, [](TableSources &) { return entries_in("/proc/self/fd"); },
        descriptors_changed),
    STREAM_ROW(0),
    STREAM_ROW(1),
    STREAM_ROW(2),
    ASPECT_ROW("working directory", settings, value, "changed the working directory from %b to %a",
               working_directory),
    ASPECT_ROW("umask", settings, value, "changed the umask from %b to %a", file_mask),
    ASPECT_ROW("environment", settings, entries, "the environment variable %k", environment),
    ASPECT_ROW("locale", settings, entries, "the locale %k", locale),
    LIMIT_ROW(RLIMIT_CPU),
    LIMIT_ROW(RLIMIT_FSIZE),
    LIMIT_ROW(RLIMIT_DATA),
    LIMIT_ROW(RLIMIT_STACK),
    LIMIT_ROW(RLIMIT_CORE),
    LIMIT_ROW(RLIMIT_RSS),
    LIMIT_ROW(RLIMIT_NPROC),
    LIMIT_ROW(RLIMIT_NOFILE),
    LIMIT_ROW(RLIMIT_MEMLOCK),
    LIMIT_ROW(RLIMIT_AS),
    LIMIT_ROW(RLIMIT_LOCKS),
    LIMIT_ROW(RLIMIT_SIGPENDING),
    LIMIT_ROW(RLIMIT_MSGQUEUE),
    LIMIT_ROW(RLIMIT_NICE),
    LIMIT_ROW(RLIMIT_RTPRIO),
    LIMIT_ROW(RLIMIT_RTTIME),
    Row{"nice", failure, Wording::amount, "%d the nice value from %b to %a", nice_value},
    Row{"scheduling policy", failure, Wording::value, "changed the scheduling policy from %b to %a",
        scheduling},
    STATUS_ROW("Cpus_allowed_list", failure, "changed the CPU affinity from CPUs %b to CPUs %a"),
    STATUS_ROW("Mems_allowed_list", failure, "changed the memory nodes allowed from %b to %a"),
    Row{"process group", failure, Wording::value, "moved the process from process group %b to %a",
        [](TableSources &) { return Value(std::to_string(getpgrp())); }},
    Row{"session", failure, Wording::value, "moved the process from session %b to %a",
        [](TableSources &) { return Value(std::to_string(getsid(0))); }},
    Row{"user ids", failure, Wording::value, "changed the user ids from %b to %a",
        [](TableSources &) { return ids(getresuid); }},
    Row{"group ids", failure, Wording::value, "changed the group ids from %b to %a",
        [](TableSources &) { return ids(getresgid); }},
    Row{"supplementary groups", failure, Wording::value,
        "changed the supplementary groups from %b to %a", groups},
    STATUS_ROW("CapInh", failure, "changed the inheritable capabilities from %b to %a"),
    STATUS_ROW("CapPrm", failure, "changed the permitted capabilities from %b to %a"),
    STATUS_ROW("CapEff", failure, "changed the effective capabilities from %b to %a"),
    STATUS_ROW("CapBnd", failure, "changed the capability bounding set from %b to %a"),
    STATUS_ROW("CapAmb", failure, "changed the ambient capabilities from %b to %a"),
    STATUS_ROW("Seccomp", failure, "changed the seccomp mode from %b to %a"),
    STATUS_ROW(
        "Seccomp_filters", failure,
        "installed a system call filter (seccomp filters %b -> %a), which no one can remove"),
    STATUS_ROW("Speculation_Store_Bypass", failure,
               "changed the speculative store bypass control from %b to %a"),
    STATUS_ROW("SpeculationIndirectBranch", failure,
               "changed the indirect branch speculation control from %b to %a"),
    Row{"locked memory", failure, Wording::value,
        "locked memory into RAM (mlock or mlockall; VmLck was %b, now %a)", locked_memory},
    Row{"thread name", warning, Wording::value, "renamed the calling thread from %b to %a",
        thread_name},
    Row{"dumpable", failure, Wording::value, "changed PR_SET_DUMPABLE from %b to %a",
        [](TableSources &) { return prctl_returned(PR_GET_DUMPABLE); }},
    Row{"parent-death signal", failure, Wording::value,
        "changed the parent-death signal (PR_SET_PDEATHSIG) from %b to %a", death_signal},
    Row{"no-new-privileges", failure, Wording::value,
        "turned no-new-privileges (PR_SET_NO_NEW_PRIVS) from %b to %a, which cannot be undone",
        [](TableSources &) { return on_off(prctl_returned(PR_GET_NO_NEW_PRIVS)); }},
    Row{"timer slack", warning, Wording::amount, "%d the timer slack from %b ns to %a ns",
        [](TableSources &) { return prctl_returned(PR_GET_TIMERSLACK); }},
    Row{"child subreaper", failure, Wording::value,
        "turned child subreaper (PR_SET_CHILD_SUBREAPER) from %b to %a",
        [](TableSources &) { return on_off(prctl_stored(PR_GET_CHILD_SUBREAPER)); }},
    Row{"keep capabilities", failure, Wording::value, "turned PR_SET_KEEPCAPS from %b to %a",
        [](TableSources &) { return on_off(prctl_returned(PR_GET_KEEPCAPS)); }},
    Row{"secure bits", failure, Wording::value, "changed the secure bits from %b to %a",
        [](TableSources &) { return prctl_returned(PR_GET_SECUREBITS); }},
    Row{"transparent huge pages", failure, Wording::value,
        "turned PR_SET_THP_DISABLE from %b to %a",
        [](TableSources &) { return on_off(prctl_returned(PR_GET_THP_DISABLE)); }},
    Row{"machine-check kill policy", failure, Wording::value,
        "changed the machine-check kill policy from %b to %a",
        [](TableSources &) { return prctl_returned(PR_MCE_KILL_GET); }},
    Row{"personality", failure, Wording::value, "changed the personality from %b to %a",
        [](TableSources &) {
          return Value(hex(static_cast<unsigned>(personality(0xffffffffUL))));
        }},
    Row{"ITIMER_REAL", failure, Wording::value,
        "left ITIMER_REAL %a (was %b): its SIGALRM ends a host that does not expect it",
        [](TableSources &) { return interval_timer(ITIMER_REAL); }},
    Row{"ITIMER_VIRTUAL", failure, Wording::value, "left ITIMER_VIRTUAL %a (was %b)",
        [](TableSources &) { return interval_timer(ITIMER_VIRTUAL); }},
    Row{"ITIMER_PROF", failure, Wording::value, "left ITIMER_PROF %a (was %b)",
        [](TableSources &) { return interval_timer(ITIMER_PROF); }},
    Row{.name = "POSIX timers",
        .wording = Wording::added,
        .words = "left POSIX timer %a (timer_create) that was never deleted",
        .read = posix_timers,
        .held_for_life = true},
    Row{"alternate signal stack", failure, Wording::value,
        "changed the alternate signal stack from %b to %a; a signal taken after unload runs on it",
        alternate_stack},
    Row{"x87 registers", failure, Wording::value,
        "left the x87 registers in use (%a, was %b); the host's long double arithmetic then "
        "gives NaN",
        x87_stack},
    Row{"stdin", failure, Wording::value, "pointed stdin at %a instead of %b",
        [](TableSources &) { return stream_identity(stdin); }},
    Row{"stdout", failure, Wording::value, "pointed stdout at %a instead of %b",
        [](TableSources &) { return stream_identity(stdout); }},
    Row{"stderr", failure, Wording::value, "pointed stderr at %a instead of %b",
        [](TableSources &) { return stream_identity(stderr); }},
    Row{"stdout orientation", failure, Wording::value,
        "made stdout %a (fwide), so the host's printf to it fails",
        [](TableSources &sources) { return orientation(sources, stdout); }},
    Row{"stderr orientation", failure, Wording::value,
        "made stderr %a (fwide), so the host's fprintf to it fails",
        [](TableSources &sources) { return orientation(sources, stderr); }},
    Row{"stdout buffer", failure, Wording::value, "gave stdout %a (setvbuf) instead of %b",
        [](TableSources &sources) { return stream_buffer(sources, stdout); }},
    Row{"stderr buffer", failure, Wording::value, "gave stderr %a (setvbuf) instead of %b",
        [](TableSources &sources) { return stream_buffer(sources, stderr); }},
    Row{"environ", failure, Wording::value,
        "replaced the environ array (%b -> %a), which the host's getenv reads",
        [](TableSources &) { return Value(hex(environ)); }},
    Row{"thread locale", failure, Wording::value,
        "left the calling thread in %a (uselocale) instead of %b", thread_locale},
    NAMESPACE_ROW("cgroup"),
    NAMESPACE_ROW("ipc"),
    NAMESPACE_ROW("mnt"),
    NAMESPACE_ROW("net"),
    NAMESPACE_ROW("pid_for_children"),
    NAMESPACE_ROW("time_for_children"),
    NAMESPACE_ROW("user"),
    NAMESPACE_ROW("uts"),
    Row{"root directory", failure, Wording::value, "changed the root directory from %b to %a",
        [](TableSources &) { return link_target("/proc/self/root"); }},
    Row{"descriptor targets", failure, Wording::keyed, "pointed descriptor %k at %a instead of %b",
        descriptor_targets},
    Row{"libraries", failure, Wording::added, "left %a loaded", libraries, true},
    Row{"writable and executable memory", failure, Wording::added,
        "left a writable and executable mapping at %a", writable_and_executable},
    Row{"big mappings", failure, Wording::added, "left a %a", big_anonymous, true},
};
#undef ASPECT_ROW
#undef OWN_ROW
#undef STREAM_ROW
#undef LIMIT_ROW
#undef STATUS_ROW
#undef NAMESPACE_ROW

}  // namespace

std::span<const Row> process_rows() { return rows; }

// This process inherited streams its parent had printed to, which no
// plug-in could then make wide; a stream reopened on its own descriptor
// starts without orientation.
void fresh_standard_streams() {
  for (FILE *stream : {stdout, stderr}) {
    static_cast<void>(std::freopen(nullptr, "a", stream));
  }
}

ProcessState snapshot(std::optional<Aspect> only) { return {read_rows<TableSources>(rows, only)}; }

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
