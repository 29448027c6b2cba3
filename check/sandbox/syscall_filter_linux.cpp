// A seccomp filter of a few BPF lines: every system call traps, except the
// write of the result on the child's channel, the exit that follows it, and
// those the checker's own code makes. The filter cannot be lifted again, so
// the code runs in a child of its own.
#include <link.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <system_error>
#include <vector>

#include "sandbox/channel.hpp"
#include "sandbox/child.hpp"
#include "sandbox/coverage.hpp"
#include "sandbox/protocol.hpp"
#include "sandbox/seccomp_linux.hpp"
#include "sandbox/syscall_filter.hpp"
#include "tamrix_host.hpp"

namespace plugin_check {
namespace {

using seccomp::CodeStretch;

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
  if (const char *name = seccomp::system_call_name(number); name != nullptr) {
    line.add(name);
  } else {
    line.add("system call number ").add(number);
  }
  send_and_end(line);
}

// The checker's own code: its program's executable segments, cut where the
// upper half of an address changes. A system call made from there is not
// the plug-in's. In a sanitizer build the sanitizer's runtime is part of the
// program, and maps memory for its own books whenever it runs short, as in
// the middle of a collide that only took a lock. The plug-in's own calls
// come from the C library, the engine or the plug-in's code, never from here.
std::vector<CodeStretch> own_code() {
  std::vector<CodeStretch> stretches;
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *data) {
        seccomp::add_code_of(*info, *static_cast<std::vector<CodeStretch> *>(data));
        return 1;  // the program comes first; the libraries after it are not its own
      },
      &stretches);
  return stretches;
}

// Installs the filter; false, with errno set, where the system refuses it.
bool install_filter(int fd, const std::vector<CodeStretch> &own) {
  constexpr auto load = [](std::uint32_t offset) {
    return sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
  };
  constexpr auto jump = [](std::uint16_t test, std::uint32_t value, std::size_t yes,
                           std::size_t no) {
    return sock_filter BPF_JUMP(BPF_JMP | test | BPF_K, value, static_cast<std::uint8_t>(yes),
                                static_cast<std::uint8_t>(no));
  };
  constexpr auto answer = [](std::uint32_t value) {
    return sock_filter BPF_STMT(BPF_RET | BPF_K, value);
  };
  // Jumps go forward by at most 255: past that many stretches, the filter
  // does without them, and only the sanitizers would notice.
  constexpr std::size_t per_stretch = 5;
  constexpr std::size_t first_stretch = 7;
  const std::size_t stretches = own.size() <= 40 ? own.size() : 0;
  const std::size_t trap = first_stretch + per_stretch * stretches;
  const std::size_t allow = trap + 1;
  // Offsets of seccomp_data; a 64-bit field's low half comes first on both
  // little-endian machines.
  const auto low = [](std::size_t offset) { return static_cast<std::uint32_t>(offset); };
  const std::uint32_t ip = low(offsetof(seccomp_data, instruction_pointer));
  std::vector<sock_filter> program = {
      load(low(offsetof(seccomp_data, arch))),
      jump(BPF_JEQ, seccomp::native_arch(), 0, trap - 2),
      load(low(offsetof(seccomp_data, nr))),
      jump(BPF_JEQ, SYS_exit_group, allow - 4, 0),
      jump(BPF_JEQ, SYS_write, 0, first_stretch - 5),
      load(low(offsetof(seccomp_data, args))),
      jump(BPF_JEQ, static_cast<std::uint32_t>(fd), allow - 7, 0),
  };
  for (std::size_t n = 0; n < stretches; ++n) {
    const CodeStretch &stretch = own[n];
    const std::size_t at = first_stretch + per_stretch * n;
    // Each test that fails goes on to the next stretch, 5 lines on.
    program.push_back(load(ip + 4));
    program.push_back(jump(BPF_JEQ, stretch.high, 0, 3));
    program.push_back(load(ip));
    program.push_back(jump(BPF_JGE, stretch.first_low, 0, 1));
    program.push_back(jump(BPF_JGT, stretch.last_low, 0, allow - (at + 5)));
  }
  program.push_back(answer(SECCOMP_RET_TRAP));
  program.push_back(answer(SECCOMP_RET_ALLOW));
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
  const std::vector<CodeStretch> own = own_code();
  if (!install_filter(sandbox::child_channel_fd(), own)) {
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
