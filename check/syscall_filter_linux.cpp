// A seccomp filter of a few BPF lines: every system call traps, except the
// write of the report on its own pipe and the exit that follows it. The
// filter cannot be lifted again, so the code runs in a child of its own.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <system_error>

#include "syscall_filter.hpp"

namespace plugin_check {
namespace {

// The two machines plugin-check is built for (see fp_control_*.cpp).
#if defined(__aarch64__)
constexpr std::uint32_t native_arch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t native_arch = AUDIT_ARCH_X86_64;
#endif

struct SystemCall {
  long number;
  const char *name;
};

// The calls a plug-in is likely to make, by name; any other by its number.
// Only calls both architectures have, so one table serves.
constexpr std::array<SystemCall, 36> system_calls = {{
    {SYS_getpid, "getpid"},
    {SYS_gettid, "gettid"},
    {SYS_getppid, "getppid"},
    {SYS_write, "write"},
    {SYS_writev, "writev"},
    {SYS_read, "read"},
    {SYS_pread64, "pread64"},
    {SYS_openat, "openat"},
    {SYS_close, "close"},
    {SYS_lseek, "lseek"},
    {SYS_fstat, "fstat"},
    {SYS_newfstatat, "newfstatat"},
    {SYS_ioctl, "ioctl"},
    {SYS_mmap, "mmap"},
    {SYS_munmap, "munmap"},
    {SYS_mprotect, "mprotect"},
    {SYS_madvise, "madvise"},
    {SYS_brk, "brk"},
    {SYS_futex, "futex"},
    {SYS_sched_yield, "sched_yield"},
    {SYS_nanosleep, "nanosleep"},
    {SYS_clock_nanosleep, "clock_nanosleep"},
    {SYS_clock_gettime, "clock_gettime"},
    {SYS_gettimeofday, "gettimeofday"},
    {SYS_getrandom, "getrandom"},
    {SYS_rt_sigaction, "rt_sigaction"},
    {SYS_rt_sigprocmask, "rt_sigprocmask"},
    {SYS_kill, "kill"},
    {SYS_tgkill, "tgkill"},
    {SYS_clone, "clone"},
    {SYS_getcwd, "getcwd"},
    {SYS_uname, "uname"},
    {SYS_sysinfo, "sysinfo"},
    {SYS_prctl, "prctl"},
    {SYS_exit, "exit"},
    {SYS_getrusage, "getrusage"},
}};

std::atomic<const char *> running_hook{nullptr};
int report_fd = -1;

// What the signal handler may use: no heap, no locks.
class Line {
 public:
  void add(const char *text) {
    while (*text != '\0' && size_ < text_.size()) {
      text_.at(size_++) = *text++;
    }
  }
  void add(long number) {
    std::array<char, 24> digits{};
    std::size_t count = 0;
    const bool negative = number < 0;
    unsigned long rest =
        negative ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
    do {
      digits.at(count++) = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0 && count < digits.size());
    if (negative) {
      add("-");
    }
    while (count > 0) {
      const std::array<char, 2> digit{digits.at(--count), '\0'};
      add(digit.data());
    }
  }
  // Sends the line and ends the process, with the only calls the filter lets
  // through. Straight to the kernel, and not marked noreturn: a sanitizer's
  // write and _exit do work of their own first (an exit-time leak check), and
  // before a call that never returns it looks at the signal stack, all calls
  // the filter would stop.
  void send() const {
    const long written = syscall(SYS_write, report_fd, text_.data(), size_);
    syscall(SYS_exit_group, written == static_cast<long>(size_) ? 0 : 1);
  }

 private:
  std::array<char, 256> text_{};
  std::size_t size_ = 0;
};

extern "C" void on_system_call(int /*signal*/, siginfo_t *info, void * /*context*/) {
  Line line;
  line.add("called ");
  const char *hook = running_hook.load(std::memory_order_relaxed);
  line.add(hook != nullptr ? hook : "the checker");
  line.add(" called ");
  const long number = info->si_syscall;
  const char *name = nullptr;
  for (const SystemCall &call : system_calls) {
    name = call.number == number ? call.name : name;
  }
  if (name != nullptr) {
    line.add(name);
  } else {
    line.add("system call number ");
    line.add(number);
  }
  line.send();
}

// Installs the filter; false, with errno set, where the system refuses it.
bool install_filter(int fd) {
  constexpr auto load = [](std::uint32_t offset) {
    return sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
  };
  constexpr auto jump_if = [](std::uint32_t value, std::uint8_t yes, std::uint8_t no) {
    return sock_filter BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, yes, no);
  };
  constexpr auto answer = [](std::uint32_t value) {
    return sock_filter BPF_STMT(BPF_RET | BPF_K, value);
  };
  // Offsets of seccomp_data; args[0]'s low half comes first on both
  // little-endian machines.
  std::array<sock_filter, 9> program = {
      load(offsetof(seccomp_data, arch)),
      jump_if(native_arch, 0, 5),
      load(offsetof(seccomp_data, nr)),
      jump_if(SYS_exit_group, 4, 0),
      jump_if(SYS_write, 0, 2),
      load(offsetof(seccomp_data, args)),
      jump_if(static_cast<std::uint32_t>(fd), 1, 0),
      answer(SECCOMP_RET_TRAP),
      answer(SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  // NOLINTBEGIN(cppcoreguidelines-pro-type-vararg): prctl is variadic
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
  // NOLINTEND(cppcoreguidelines-pro-type-vararg)
}

// Ends the process; see Line::send() for why it is not marked noreturn.
void run_filtered(int fd, const std::function<void()> &body) {
  report_fd = fd;
  // A thread sanitizer maps memory for a thread's first signal, which inside
  // the filter would stop the report itself: one harmless signal first.
  struct sigaction warm_up {};
  struct sigaction previous {};
  warm_up.sa_handler = [](int /*signal*/) {};
  sigemptyset(&warm_up.sa_mask);
  sigaction(SIGURG, &warm_up, &previous);
  raise(SIGURG);
  // cppcheck-suppress unreachableCode ; raise() returns once the handler has run
  sigaction(SIGURG, &previous, nullptr);
  struct sigaction action {};
  action.sa_sigaction = on_system_call;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSYS, &action, nullptr);
  sigset_t sys;
  sigemptyset(&sys);
  sigaddset(&sys, SIGSYS);
  pthread_sigmask(SIG_UNBLOCK, &sys, nullptr);
  if (!install_filter(fd)) {
    const std::string why = "the system refused a system call filter (prctl: " +
                            std::generic_category().message(errno) +
                            "), as qemu's user-mode emulation does";
    const ssize_t written = write(fd, ("unavailable " + why).data(), why.size() + 12);
    _exit(written > 0 ? 0 : 1);
  }
  body();
  running_hook = nullptr;
  Line line;
  line.add("clean");
  line.send();
}

}  // namespace

void filtered_hook(const char *hook) { running_hook.store(hook, std::memory_order_relaxed); }

FilteredRun run_without_system_calls(const std::function<void()> &body) {
  std::array<int, 2> pipe_ends{-1, -1};
  if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
    return {FilteredRun::End::failed,
            "cannot make a pipe: " + std::generic_category().message(errno)};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_ends[0]);
    run_filtered(pipe_ends[1], body);
  }
  close(pipe_ends[1]);
  if (pid < 0) {
    close(pipe_ends[0]);
    return {FilteredRun::End::failed,
            "cannot start a process: " + std::generic_category().message(errno)};
  }
  std::string said;
  std::array<char, 512> buffer{};
  for (ssize_t got = 0; (got = read(pipe_ends[0], buffer.data(), buffer.size())) != 0;) {
    if (got < 0 && errno != EINTR) {
      break;
    }
    said.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const auto starts = [&said](std::string_view word) { return said.rfind(word, 0) == 0; };
  if (starts("clean")) {
    return {FilteredRun::End::clean, {}};
  }
  if (starts("called ")) {
    return {FilteredRun::End::called, said.substr(7)};
  }
  if (starts("unavailable ")) {
    return {FilteredRun::End::unavailable, said.substr(12)};
  }
  if (WIFSIGNALED(status)) {
    return {FilteredRun::End::failed,
            "the filtered process ended with signal " + std::to_string(WTERMSIG(status))};
  }
  return {FilteredRun::End::failed,
          "the filtered process ended with status " + std::to_string(WEXITSTATUS(status))};
}

}  // namespace plugin_check
