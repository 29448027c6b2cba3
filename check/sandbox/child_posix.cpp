#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/signals_posix.hpp"
#include "sandbox/channel.hpp"
#include "sandbox/child.hpp"
#include "sandbox/coverage.hpp"

namespace plugin_check::sandbox {
namespace {

// The child's end of the channel, as the parent gave it.
int channel_fd = -1;
struct stat channel_file {};
std::string token;

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name a check's process goes by: a host's, so the plug-in is not told
// by the process's name or command line that a checker loaded it.
constexpr std::string_view host_name = "tamrix";

// Blanks the command line in place: the kernel reads it from the memory
// between arg_start and arg_end (fields 48 and 49 of /proc/self/stat), which
// glibc's program_invocation_name points at. Anything else is left alone.
void hide_command_line() {
  std::ifstream stat_file("/proc/self/stat");
  std::string line;
  std::getline(stat_file, line);
  const std::size_t close = line.rfind(')');
  std::istringstream fields(close == std::string::npos ? "" : line.substr(close + 1));
  std::vector<std::string> rest;
  for (std::string field; fields >> field;) {
    rest.push_back(field);
  }
  constexpr std::size_t arg_start = 48 - 3;  // the fields after the command start at 3
  if (rest.size() <= arg_start + 1) {
    return;
  }
  const auto from = static_cast<std::uintptr_t>(std::stoull(rest[arg_start]));
  const auto to = static_cast<std::uintptr_t>(std::stoull(rest[arg_start + 1]));
  if (from != reinterpret_cast<std::uintptr_t>(program_invocation_name) || to <= from) {
    return;
  }
  const std::size_t size = to - from;
  std::memset(program_invocation_name, 0, size);
  std::memcpy(program_invocation_name, host_name.data(), std::min(host_name.size(), size - 1));
}

// In the child: `task`'s channel is `channel`, and nothing it prints reaches
// the parent's terminal.
[[noreturn]] void become_child(int channel, std::string child_token, ChildTask task,
                               const std::vector<std::string> &args) {
  coverage_child_started();
  prctl(PR_SET_NAME, std::string(host_name).c_str(), 0UL, 0UL, 0UL);
  hide_command_line();
  channel_fd = channel;
  token = std::move(child_token);
  if (fstat(channel, &channel_file) != 0) {
    channel_fd = -1;
  }
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  end_child(task(args));
}

// ---- The parent's side, in the order run_child() takes it

// A check's child has a process group of its own, which neither a terminal's
// ^C nor a caller's time limit reaches: plugin-check ended from outside while
// a child runs ends it first, and then ends as it was asked to.
constexpr std::array ending_signals{SIGHUP, SIGINT, SIGTERM};
// As plugin-check found them: the child gets them back, so its process is a
// host's and not one with the checker's handlers in it.
std::array<struct sigaction, ending_signals.size()> found_actions{};
volatile std::sig_atomic_t ending_signal = 0;
bool watching_for_ending = false;

void note_ending(int number) { ending_signal = number; }

void watch_for_ending() {
  if (watching_for_ending) {
    return;
  }
  watching_for_ending = true;
  for (std::size_t i = 0; i < ending_signals.size(); ++i) {
    sigaction(ending_signals[i], nullptr, &found_actions[i]);
    // A caller that ignores a signal (nohup) means it.
    if (found_actions[i].sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction note {};
    note.sa_handler = note_ending;
    sigemptyset(&note.sa_mask);
    sigaction(ending_signals[i], &note, nullptr);
  }
}

void restore_found_actions() {
  if (!watching_for_ending) {
    return;
  }
  for (std::size_t i = 0; i < ending_signals.size(); ++i) {
    sigaction(ending_signals[i], &found_actions[i], nullptr);
  }
}

// Once no child of a check is left: ends plugin-check as it was asked to.
void end_if_asked() {
  const int number = ending_signal;
  if (number != 0) {
    restore_found_actions();
    raise(number);
  }
}

struct Pipe {
  int read = -1;
  int write = -1;
};

// Ends this process as `info` says its child ended: by the same signal, or
// with the same status. Its own core file would be a second one of nothing.
[[noreturn]] void end_as(const siginfo_t &info) {
  if (info.si_code == CLD_EXITED) {
    _exit(info.si_status);
  }
  const int number = info.si_status;
  rlimit core{};
  setrlimit(RLIMIT_CORE, &core);
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(number, &plain, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  kill(getpid(), number);
  _exit(128 + number);
}

// The check's process group is led by a process that only waits, and the
// plug-in runs in a member of it: a host is seldom a group's leader, and in a
// leader a plug-in's setsid() fails and its setpgid(0, 0) does nothing, where
// in a host they take the process out of its group and session. The leader
// ends as the member did. It blocks every signal, so that one the plug-in
// sends its own group (kill(0, ...)) ends only what a host's would. It leaves
// the ended member unreaped: the member's id stays its own until the parent,
// which inherits it, reaps it, so the parent may kill it by that id.
[[noreturn]] void lead_group(int channel, const std::string &child_token, ChildTask task,
                             const std::vector<std::string> &args) {
  sigset_t every{};
  sigset_t found{};
  sigfillset(&every);
  pthread_sigmask(SIG_SETMASK, &every, &found);
  const pid_t member = fork();
  if (member <= 0) {
    // The member; or, where no process was left to start one, the leader
    // itself runs the check.
    pthread_sigmask(SIG_SETMASK, &found, nullptr);
    become_child(channel, child_token, task, args);
  }
  close(channel);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(member), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) {
      _exit(1);
    }
  }
  end_as(info);
}

// Starts the child in a process group of its own, which it leads and the
// check's member joins, so anything they start dies with them; -1, with
// `cause` set, when it could not.
pid_t start(ChildTask task, const std::vector<std::string> &args, const std::string &child_token,
            Pipe ends, std::string &cause) {
  // Descendants that leave the child's process group come back to this
  // process when their parent ends, so that none outlives the check.
  prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL);
  // Buffered output would otherwise be written twice, once by each process.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends.read);
    restore_found_actions();
    setpgid(0, 0);
    lead_group(ends.write, child_token, task, args);
  }
  close(ends.write);
  if (pid < 0) {
    cause = "cannot start a process: " + std::generic_category().message(errno);
    return -1;
  }
  setpgid(pid, pid);  // as the child does, whichever runs first
  return pid;
}

// Reads what is there now, keeping at most one byte past the limit so a flood
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

// Collects what the child sends until it ends, floods or runs out of time;
// true when it ended.
bool collect_output(pid_t pid, int fd, double timeout_seconds, std::string &output) {
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
  while (!ended && ending_signal == 0 && output.size() <= child_output_limit &&
         milliseconds_left() > 0) {
    if (open) {
      pollfd watch{fd, POLLIN, 0};
      if (poll(&watch, 1, static_cast<int>(std::min<long long>(milliseconds_left(), 10))) > 0) {
        read_available(fd, output, open);
      }
    } else {
      usleep(1000);
    }
    ended = has_ended(pid);
  }
  if (ended) {
    // What it sent just before it ended is still in the pipe.
    fcntl(fd, F_SETFL, O_NONBLOCK);
    while (open && output.size() <= child_output_limit) {
      errno = 0;
      read_available(fd, output, open);
      open = open && errno != EAGAIN;
    }
  }
  return ended;
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

// The children of `leader`, as the kernel lists them: the check's member.
std::vector<pid_t> children_of(pid_t leader) {
  const std::string id = std::to_string(leader);
  std::ifstream listed("/proc/" + id + "/task/" + id + "/children");
  std::vector<pid_t> children;
  for (long child = 0; listed >> child;) {
    children.push_back(static_cast<pid_t>(child));
  }
  return children;
}

// Kills the child's group and everything else it left; the child's wait status.
int end_all(pid_t pid, bool ended) {
  // A member that left the group (setsid) is killed by its id, while the
  // leader still holds it: with no subreaper (qemu's user-mode emulation)
  // nothing else would reach it.
  if (!ended) {
    for (const pid_t member : children_of(pid)) {
      kill(member, SIGKILL);
    }
  }
  kill(-pid, SIGKILL);
  if (!ended) {
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  end_every_child();
  return status;
}

void name_the_end(bool ended, int status, ChildOutcome &outcome) {
  if (outcome.output.size() > child_output_limit) {
    outcome.end = ChildOutcome::End::flooded;
    outcome.output.resize(child_output_limit);
  } else if (!ended) {
    outcome.end = ChildOutcome::End::timed_out;
  } else if (WIFSIGNALED(status)) {
    outcome.end = ChildOutcome::End::crashed;
    outcome.cause = tamrix_host::platform::signal_text(WTERMSIG(status));
  } else {
    outcome.end = ChildOutcome::End::exited;
    outcome.exit_status = WEXITSTATUS(status);
  }
}

}  // namespace

ChildOutcome run_child(ChildTask task, const std::vector<std::string> &args,
                       double timeout_seconds) {
  watch_for_ending();
  end_if_asked();
  ChildOutcome outcome;
  outcome.token = channel::new_token();
  std::array<int, 2> pipe_ends{-1, -1};
  if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
    outcome.cause = "cannot make a pipe: " + std::generic_category().message(errno);
    return outcome;
  }
  const Pipe ends{pipe_ends[0], pipe_ends[1]};
  const pid_t pid = start(task, args, outcome.token, ends, outcome.cause);
  if (pid < 0) {
    close(ends.read);
    return outcome;
  }
  const bool ended = collect_output(pid, ends.read, timeout_seconds, outcome.output);
  close(ends.read);
  name_the_end(ended, end_all(pid, ended), outcome);
  end_if_asked();
  return outcome;
}

int run_as_child(ChildTask task, const std::vector<std::string> &args) {
  if (args.size() < 2 || args[0] != child_flag) {
    return -1;
  }
  become_child(dup(STDOUT_FILENO), args[1], task, {args.begin() + 2, args.end()});
}

void child_write(std::string_view text) {
  const char *data = text.data();
  std::size_t size = text.size();
  while (channel_fd >= 0 && size > 0) {
    // Straight to the kernel: a sanitizer's write does work of its own, which
    // under the system call filter would be stopped before the line is sent.
    const long written = syscall(SYS_write, channel_fd, data, size);
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

std::string_view child_token() { return token; }

int child_channel_fd() { return channel_fd; }

bool child_channel_intact() {
  struct stat now {};
  return channel_fd >= 0 && fstat(channel_fd, &now) == 0 && same_file(now, channel_file);
}

void end_child(int status) {
  coverage_flush();
  // Without exit(): the parent's atexit work is not the child's to do.
  _exit(status);
}

}  // namespace plugin_check::sandbox
