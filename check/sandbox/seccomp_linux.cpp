#include "sandbox/seccomp_linux.hpp"

#include <linux/audit.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

namespace plugin_check::seccomp {
namespace {

// The two machines plugin-check is built for (see fp_control_*.cpp).
#if defined(__aarch64__)
constexpr std::uint32_t arch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t arch = AUDIT_ARCH_X86_64;
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

}  // namespace

std::uint32_t native_arch() { return arch; }

const char *system_call_name(long number) {
  for (const SystemCall &call : system_calls) {
    if (call.number == number) {
      return call.name;
    }
  }
  return nullptr;
}

void add_code_of(const dl_phdr_info &object, std::vector<CodeStretch> &out) {
  for (const ElfW(Phdr) & segment : std::span(object.dlpi_phdr, object.dlpi_phnum)) {
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0 || segment.p_memsz == 0) {
      continue;
    }
    std::uint64_t first = object.dlpi_addr + segment.p_vaddr;
    const std::uint64_t last = first + segment.p_memsz - 1;
    for (;;) {
      const std::uint64_t high = first >> 32U;
      const std::uint64_t stretch_last = std::min(last, (high << 32U) | 0xffffffffU);
      out.push_back({static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(first),
                     static_cast<std::uint32_t>(stretch_last)});
      if (stretch_last == last) {
        break;
      }
      first = stretch_last + 1;
    }
  }
}

}  // namespace plugin_check::seccomp
