// A seccomp filter of a few BPF lines: every system call traps, except the
// write of the result on the child's channel and the exit that follows it.
// The filter cannot be lifted again, so the code runs in a child of its own.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <system_error>

#include "sandbox/channel.hpp"
#include "sandbox/child.hpp"
#include "sandbox/coverage.hpp"
#include "sandbox/protocol.hpp"
#include "sandbox/syscall_filter.hpp"
#include "tamrix_host.hpp"

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

// What the filtered child runs: a copy of the caller's, since the child is a
// fork of the caller.
const std::function<void()> *filtered_body = nullptr;

// Sends the result line and ends the process, with the only calls the filter
// lets through. Straight to the kernel, and not marked noreturn: a sanitizer's
// _exit does work of its own first (an exit-time leak check), and before a
// call that never returns it looks at the signal stack, all calls the filter
// would stop.
void send_and_end(channel::FixedLine line) {
  sandbox::child_write(line.text());
  syscall(SYS_exit_group, 0);
}

extern "C" void on_system_call(int /*signal*/, siginfo_t *info, void * /*context*/) {
  channel::FixedLine line = channel::result_line(sandbox::child_token(), Verdict::fail);
  const char *hook = tamrix_host::running_hook();
  line.add(hook != nullptr ? hook : "the checker").add(" called ");
  const long number = info->si_syscall;
  const char *name = nullptr;
  for (const SystemCall &call : system_calls) {
    name = call.number == number ? call.name : name;
  }
  if (name != nullptr) {
    line.add(name);
  } else {
    line.add("system call number ").add(number);
  }
  send_and_end(line);
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

// The filtered child: ends the process itself once the filter is on; see
// send_and_end() for why it is not marked noreturn.
int run_filtered(const std::vector<std::string> & /*args*/) {
  // Only the filter's own line may reach the parent: progress lines would
  // go through a listener the filter was not made for.
  tamrix_host::set_hook_listener(nullptr);
  tamrix_host::entering(nullptr);
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
  // No count can be written under the filter: what ran so far is written now.
  sandbox::coverage_flush();
  if (!install_filter(sandbox::child_channel_fd())) {
    sandbox::send_result(Verdict::skip, "the system refused a system call filter (prctl: " +
                                            std::generic_category().message(errno) +
                                            "), as qemu's user-mode emulation does");
    return 0;
  }
  (*filtered_body)();
  send_and_end(channel::result_line(sandbox::child_token(), Verdict::pass));
  return 0;
}

// Long enough never to end a run that works: a hang is the check's own time
// limit's to end, which its parent keeps.
constexpr double filtered_run_limit = 3600.0;

}  // namespace

FilteredRun run_without_system_calls(const std::function<void()> &body) {
  filtered_body = &body;
  const sandbox::Heard heard = sandbox::run_in_child(run_filtered, {}, filtered_run_limit);
  filtered_body = nullptr;
  switch (heard.end) {
    case sandbox::Heard::End::result:
      if (heard.verdict == Verdict::pass) {
        return {FilteredRun::End::clean, {}};
      }
      return {
          heard.verdict == Verdict::skip ? FilteredRun::End::unavailable : FilteredRun::End::called,
          heard.reason};
    case sandbox::Heard::End::failed:
      // No progress lines came, so the parent's words for where it ended
      // would name no hook: these say what is known.
      if (heard.outcome.end == sandbox::ChildOutcome::End::crashed) {
        return {FilteredRun::End::failed, "the filtered process ended with " + heard.outcome.cause};
      }
      if (heard.outcome.end == sandbox::ChildOutcome::End::exited) {
        return {FilteredRun::End::failed, "the filtered process ended with status " +
                                              std::to_string(heard.outcome.exit_status)};
      }
      break;
    case sandbox::Heard::End::not_started:
      break;
  }
  return {FilteredRun::End::failed, heard.reason};
}

}  // namespace plugin_check
