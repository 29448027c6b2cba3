// The process read whole on Linux: the kernel's text accounts under
// /proc/self, per thread under task/, and the System V IPC tables.
//
// What is compared, and what is not, follows one rule: a line is compared
// unless it is a counter by nature, which a sound plug-in moves by running at
// all. Those are not read here, by name: times, faults, context switches,
// scheduler statistics, and the sizes the heap, the stacks and the page cache
// move (Vm*, Rss*, the vsize and rss of stat, anonymous read-write mappings,
// which are the heap's arenas and the thread stacks the C library keeps for
// reuse). Whatever else moves by itself is learnt by the check at run time,
// from two lives of an empty plug-in (whole_process_check.cpp).
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "observe/whole_process.hpp"

namespace plugin_check {
namespace {

std::vector<std::string> lines_of(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    lines.push_back(std::move(line));
  }
  return lines;
}

// The signals between the classic ones and SIGRTMIN are the C library's own
// (thread cancellation, set*id across threads), handled once it first needs
// them on whoever's behalf: cleared from the masks that list them.
std::string without_library_signals(const std::string &mask, int base) {
  unsigned long long bits = std::strtoull(mask.c_str(), nullptr, base);
  for (int number = 32; number < SIGRTMIN; ++number) {
    bits &= ~(1ULL << static_cast<unsigned>(number - 1));
  }
  std::array<char, 24> text{};
  std::snprintf(text.data(), text.size(), base == 16 ? "%016llx" : "%llu", bits);
  return text.data();
}

// Runs of blanks as one space, none at either end: the columns of a table
// are padded to widths that follow their widest value.
std::string squeezed(const std::string &line) {
  std::istringstream words(line);
  std::string text;
  for (std::string word; words >> word;) {
    text += text.empty() ? word : " " + word;
  }
  return text;
}

std::vector<std::string> columns(const std::string &line) {
  std::istringstream words(line);
  std::vector<std::string> found;
  for (std::string word; words >> word;) {
    found.push_back(std::move(word));
  }
  return found;
}

bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [text](std::string_view prefix) { return text.starts_with(prefix); });
}

// A line under the key before its colon; a key seen before (an epoll
// descriptor's targets) under the whole line.
void add_keyed(WholeFile &file, const std::string &line) {
  const std::size_t colon = line.find(':');
  std::string key = squeezed(colon == std::string::npos ? line : line.substr(0, colon));
  if (file.lines.contains(key)) {
    key = line;
  }
  file.lines.emplace(std::move(key), squeezed(line));
}

// Counters of the thread's status, and the umask, which process-settings
// always reads and words.
bool status_counter(std::string_view key) {
  return starts_with_any(key, {"Vm", "Rss", "HugetlbPages", "State", "SigQ", "FDSize", "Umask",
                               "voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"});
}

WholeFile status(const std::string &folder, const std::string &name) {
  WholeFile file{name + "/status", {}};
  for (const std::string &line : lines_of(folder + "/status")) {
    if (status_counter(line)) {
      continue;
    }
    if (starts_with_any(line, {"SigPnd:", "ShdPnd:", "SigBlk:", "SigIgn:", "SigCgt:"})) {
      const std::size_t colon = line.find(':');
      add_keyed(file, line.substr(0, colon + 1) + " " +
                          without_library_signals(squeezed(line.substr(colon + 1)), 16));
    } else {
      add_keyed(file, line);
    }
  }
  return file;
}

// The fields of stat that hold settings, by their place (1 is the id); the
// rest are counters, addresses fixed at exec, or the thread's state.
struct StatField {
  std::size_t place;
  const char *name;
};
constexpr std::array<StatField, 18> stat_fields = {{
    {4, "ppid"},
    {5, "pgrp"},
    {6, "session"},
    {7, "tty_nr"},
    {8, "tpgid"},
    {9, "flags"},
    {18, "priority"},
    {19, "nice"},
    {20, "num_threads"},
    {25, "rsslim"},
    {31, "signal"},
    {32, "blocked"},
    {33, "sigignore"},
    {34, "sigcatch"},
    {38, "exit_signal"},
    {40, "rt_priority"},
    {41, "policy"},
    {52, "exit_code"},
}};

WholeFile stat(const std::string &folder, const std::string &name) {
  WholeFile file{name + "/stat", {}};
  const std::vector<std::string> lines = lines_of(folder + "/stat");
  if (lines.empty()) {
    return file;
  }
  // The name in parentheses may hold blanks and parentheses of its own.
  const std::size_t name_end = lines.front().rfind(')');
  if (name_end == std::string::npos) {
    return file;
  }
  const std::vector<std::string> fields = columns(lines.front().substr(name_end + 1));
  for (const StatField &field : stat_fields) {
    const std::size_t index = field.place - 3;  // fields from the state on, which is 3
    if (index < fields.size()) {
      const bool mask = field.place >= 31 && field.place <= 34;
      file.lines.emplace(field.name,
                         std::string(field.name) + " " +
                             (mask ? without_library_signals(fields[index], 10) : fields[index]));
    }
  }
  return file;
}

// Without the scheduler's statistics; its settings (policy, prio, slice) stay.
WholeFile sched(const std::string &folder, const std::string &name) {
  WholeFile file{name + "/sched", {}};
  const std::vector<std::string> lines = lines_of(folder + "/sched");
  for (std::size_t i = 2; i < lines.size(); ++i) {  // the thread's name and a rule
    // The slice a thread asked for (sched_setattr) is a setting among the statistics.
    if (lines[i].starts_with("se.slice") ||
        !starts_with_any(lines[i], {"se.", "nr_", "clock-delta", "mm->", "numa_", "total_numa",
                                    "current_node", "core_forceidle", "avg_"})) {
      add_keyed(file, lines[i]);
    }
  }
  return file;
}

WholeFile whole_lines(const std::string &path) {
  WholeFile file{path, {}};
  for (const std::string &line : lines_of(path)) {
    std::string text = squeezed(line);
    file.lines.emplace(text, text);
  }
  return file;
}

// "Max open files 1024 4096 files" under "Max open files".
WholeFile limits() {
  WholeFile file{"/proc/self/limits", {}};
  const std::vector<std::string> lines = lines_of(file.name);
  constexpr std::size_t name_width = 26;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    file.lines.emplace(squeezed(lines[i].substr(0, name_width)), squeezed(lines[i]));
  }
  return file;
}

// One line per timer: "ID: 0, signal: 14/..., notify: signal/pid.7, ClockID: 1".
WholeFile timers() {
  WholeFile file{"/proc/self/timers", {}};
  std::string key;
  for (const std::string &line : lines_of(file.name)) {
    if (line.starts_with("ID:")) {
      key = squeezed(line);
      file.lines[key] = key;
    } else if (!key.empty()) {
      file.lines[key] += ", " + squeezed(line);
    }
  }
  return file;
}

// A locale's data and the character sets' index, which the C library maps
// on first use, on whoever's behalf, and keeps for the process, as it keeps
// their heap blocks (heap-balanced warms them up for the same reason).
bool c_library_data(const std::string &path) {
  return path.find("/locale/") != std::string::npos || path.ends_with("/locale-archive") ||
         path.ends_with("/gconv-modules.cache");
}

bool anonymous(const std::string &path) {
  return path.empty() || path.starts_with("[anon:") || path == "[heap]" || path == "[stack]";
}

// Every mapping but those the heap and the stacks move by themselves:
// anonymous memory that is only readable and writable, or not even that (a
// guard, an arena's reserve), the main stack (which grows, and which the
// loader makes executable for a library that asks: exec-stack's to judge),
// and the kernel's own pages. What is left is
// what a plug-in maps on purpose: files, shared memory, and anonymous
// memory it made read-only or executable.
WholeFile maps() {
  WholeFile file{"/proc/self/maps", {}, false, true};
  for (const std::string &line : lines_of(file.name)) {
    const std::vector<std::string> fields = columns(line);
    if (fields.size() < 5) {
      continue;
    }
    const std::size_t path_at = line.find('/');
    const std::size_t bracket_at = line.find('[');
    const std::size_t at = std::min(path_at, bracket_at);
    const std::string path = at == std::string::npos ? "" : line.substr(at);
    const std::string &permissions = fields[1];
    if ((anonymous(path) && (permissions == "rw-p" || permissions == "---p")) ||
        starts_with_any(path, {"[stack]", "[vvar", "[vdso]", "[vsyscall]", "[uprobes]"}) ||
        c_library_data(path)) {
      continue;
    }
    std::string text = squeezed(line);
    file.lines.emplace(text, text);
  }
  return file;
}

std::string link_target(const std::string &path) {
  std::array<char, 4096> target{};
  const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
  return length < 0 ? std::string() : std::string(target.data(), static_cast<std::size_t>(length));
}

// The numbered entries of `folder`, in order; of the descriptors, without
// the one listing them.
std::vector<std::string> entries(const std::string &folder, bool descriptors = false) {
  std::vector<std::string> names;
  DIR *listing = opendir(folder.c_str());
  if (listing == nullptr) {
    return names;
  }
  // The directory stream is this call's own.
  while (const dirent *entry = readdir(listing)) {  // NOLINT(concurrency-mt-unsafe)
    const bool own = descriptors && std::strtol(entry->d_name, nullptr, 10) == dirfd(listing);
    if (entry->d_name[0] != '.' && !own) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(listing);
  std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
    return std::strtol(a.c_str(), nullptr, 10) < std::strtol(b.c_str(), nullptr, 10);
  });
  return names;
}

// Each descriptor's account: its flags, mount and inode, and what its kind
// adds. Its offset is a counter: it moves whenever anything sharing the open
// file reads or writes, the console's file with each print and a log a
// parent process gave this one with each of that parent's lines. So are a
// timer descriptor's ticks and time left, and an event counter.
void descriptors(std::vector<WholeFile> &files) {
  for (const std::string &fd : entries("/proc/self/fd", true)) {
    const std::string target = link_target("/proc/self/fd/" + fd);
    // Named with where it leads: a descriptor pointed elsewhere is another
    // account, whose change the table's descriptor rows word.
    WholeFile file{"/proc/self/fdinfo/" + fd, {}};
    file.name += " (" + target + ")";
    for (const std::string &line : lines_of("/proc/self/fdinfo/" + fd)) {
      if (!starts_with_any(line, {"pos:", "ticks:", "it_value:", "eventfd-count:"})) {
        add_keyed(file, line);
      }
    }
    if (!file.lines.empty()) {
      files.push_back(std::move(file));
    }
  }
}

// The shared memory this process made or last used, by its id, without the
// times and the pages in use; the semaphores and queues, which say nothing
// of who made them, whole, and only those that appear count.
WholeFile shared_memory() {
  WholeFile file{"/proc/sysvipc/shm", {}};
  const std::string self = std::to_string(getpid());
  const std::vector<std::string> lines = lines_of(file.name);
  constexpr std::size_t kept = 7;  // key shmid perms size cpid lpid nattch
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::vector<std::string> fields = columns(lines[i]);
    if (fields.size() >= kept && (fields[4] == self || fields[5] == self)) {
      fields.resize(kept);
      std::string text = "key " + fields[0] + " shmid " + fields[1] + " perms " + fields[2] +
                         " size " + fields[3] + " cpid " + fields[4] + " lpid " + fields[5] +
                         " nattch " + fields[6];
      file.lines.emplace("shmid " + fields[1], std::move(text));
    }
  }
  return file;
}

WholeFile ipc_table(const std::string &path) {
  WholeFile file{path, {}, true};
  const std::vector<std::string> lines = lines_of(path);
  constexpr std::size_t kept = 8;  // up to the owner's and creator's ids; the times move
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::vector<std::string> fields = columns(lines[i]);
    if (fields.size() >= 2) {
      fields.resize(std::min(fields.size(), kept));
      std::string text;
      for (const std::string &field : fields) {
        text += text.empty() ? field : " " + field;
      }
      file.lines.emplace("id " + fields[1], std::move(text));
    }
  }
  return file;
}

// An account is kept only where it can be read now: a plug-in that changed
// the process's owner may have closed some to it, which the table's ids
// tell, not each line of them as gone.
void add(std::vector<WholeFile> &files, const std::string &path, WholeFile file) {
  if (std::ifstream(path).is_open()) {
    files.push_back(std::move(file));
  }
}

void thread_files(std::vector<WholeFile> &files, const std::string &folder,
                  const std::string &name) {
  add(files, folder + "/status", status(folder, name));
  add(files, folder + "/stat", stat(folder, name));
  add(files, folder + "/sched", sched(folder, name));
}

}  // namespace

WholeProcess whole_process() {
  WholeProcess process;
  std::vector<WholeFile> &files = process.files;
  const std::string self = std::to_string(getpid());
  const std::string caller = std::to_string(syscall(SYS_gettid));
  thread_files(files, "/proc/self", "/proc/self");
  // The leader's own are the process's above.
  for (const std::string &tid : entries("/proc/self/task")) {
    if (tid != self) {
      thread_files(files, "/proc/self/task/" + tid,
                   "/proc/self/task/" + (tid == caller ? std::string("(the life's thread)") : tid));
    }
  }
  for (const char *path : {"/proc/self/personality", "/proc/self/mountinfo"}) {
    add(files, path, whole_lines(path));
  }
  add(files, "/proc/self/limits", limits());
  add(files, "/proc/self/timers", timers());
  add(files, "/proc/self/maps", maps());
  descriptors(files);
  files.push_back(shared_memory());
  files.push_back(ipc_table("/proc/sysvipc/sem"));
  files.push_back(ipc_table("/proc/sysvipc/msg"));
  return process;
}

namespace {

struct Words {
  std::string_view file;  // the account's last part: "status", "stat", "limits"
  std::string_view key;   // the line's key, or its start
  std::string_view row;
};

// Which row of the table says each known line in words (process_table_posix.cpp).
constexpr std::array<Words, 48> known_lines = {{
    {"status", "Name", "thread name"},
    {"status", "Uid", "user ids"},
    {"status", "Gid", "group ids"},
    {"status", "Groups", "supplementary groups"},
    {"status", "NSpgid", "process group"},
    {"status", "NSsid", "session"},
    {"status", "Threads", "threads"},
    {"status", "SigPnd", "signals"},
    {"status", "ShdPnd", "signals"},
    {"status", "SigBlk", "signals"},
    {"status", "SigIgn", "signals"},
    {"status", "SigCgt", "signals"},
    {"status", "CapInh", "CapInh"},
    {"status", "CapPrm", "CapPrm"},
    {"status", "CapEff", "CapEff"},
    {"status", "CapBnd", "CapBnd"},
    {"status", "CapAmb", "CapAmb"},
    {"status", "NoNewPrivs", "no-new-privileges"},
    {"status", "Seccomp_filters", "Seccomp_filters"},
    {"status", "Seccomp", "Seccomp"},
    {"status", "Speculation_Store_Bypass", "Speculation_Store_Bypass"},
    {"status", "SpeculationIndirectBranch", "SpeculationIndirectBranch"},
    {"status", "Cpus_allowed", "Cpus_allowed_list"},
    {"status", "Mems_allowed", "Mems_allowed_list"},
    {"status", "THP_enabled", "transparent huge pages"},
    {"stat", "pgrp", "process group"},
    {"stat", "session", "session"},
    // A process that leaves its session leaves its terminal too.
    {"stat", "tty_nr", "session"},
    {"stat", "tpgid", "session"},
    {"stat", "tpgid", "process group"},
    {"stat", "priority", "nice"},
    {"stat", "priority", "scheduling policy"},
    {"stat", "nice", "nice"},
    {"stat", "num_threads", "threads"},
    {"stat", "rsslim", "RLIMIT_RSS"},
    {"stat", "sig", "signals"},
    {"stat", "blocked", "signals"},
    {"stat", "rt_priority", "scheduling policy"},
    {"stat", "policy", "scheduling policy"},
    {"sched", "policy", "scheduling policy"},
    {"sched", "prio", "nice"},
    {"sched", "prio", "scheduling policy"},
    {"personality", "", "personality"},
    {"timers", "", "POSIX timers"},
    {"mountinfo", "", "namespace mnt"},
    {"mountinfo", "", "root directory"},
    {"maps", "", "writable and executable memory"},
    {"maps", "", "big mappings"},
}};

// The limits' names in the account, in the order of the resources' numbers.
constexpr std::array<std::pair<std::string_view, std::string_view>, 16> limit_rows = {{
    {"Max cpu time", "RLIMIT_CPU"},
    {"Max file size", "RLIMIT_FSIZE"},
    {"Max data size", "RLIMIT_DATA"},
    {"Max stack size", "RLIMIT_STACK"},
    {"Max core file size", "RLIMIT_CORE"},
    {"Max resident set", "RLIMIT_RSS"},
    {"Max processes", "RLIMIT_NPROC"},
    {"Max open files", "RLIMIT_NOFILE"},
    {"Max locked memory", "RLIMIT_MEMLOCK"},
    {"Max address space", "RLIMIT_AS"},
    {"Max file locks", "RLIMIT_LOCKS"},
    {"Max pending signals", "RLIMIT_SIGPENDING"},
    {"Max msgqueue size", "RLIMIT_MSGQUEUE"},
    {"Max nice priority", "RLIMIT_NICE"},
    {"Max realtime priority", "RLIMIT_RTPRIO"},
    {"Max realtime timeout", "RLIMIT_RTTIME"},
}};

}  // namespace

WordedBy worded_by(const LineChange &change) {
  const std::size_t slash = change.file.rfind('/');
  std::string_view kind = std::string_view(change.file).substr(slash + 1);
  if (change.file.starts_with("/proc/self/fdinfo/")) {
    kind = "fdinfo";
  }
  WordedBy words;
  if (kind == "limits") {
    for (const auto &[name, row] : limit_rows) {
      if (change.key == name) {
        words.rows.push_back(row);
      }
    }
    return words;
  }
  for (const Words &known : known_lines) {
    if (known.file == kind && std::string_view(change.key).starts_with(known.key)) {
      words.rows.push_back(known.row);
    }
  }
  // A mapping is named by its start where the rows list mappings, and a
  // library left loaded by its file's name, mapping by mapping.
  if (kind == "maps") {
    const std::string &line = change.after ? *change.after : *change.before;
    const std::string start = line.substr(0, line.find('-'));
    const std::size_t digit = start.find_first_not_of('0');
    words.mentions.push_back("0x" + (digit == std::string::npos ? "0" : start.substr(digit)));
    if (line.find('/') != std::string::npos) {
      words.rows.emplace_back("libraries");
      words.mentions.push_back(line.substr(line.rfind('/') + 1));
    }
  }
  return words;
}

}  // namespace plugin_check
