// The system call filter stops code at its first call into the kernel and
// names it, and lets through what never enters the kernel (plain code, a
// clock read through the vDSO) and what the checker's own program enters it
// for (a sanitizer's runtime, mapping memory for its books).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "sandbox/syscall_filter.hpp"
#include "tamrix_host.hpp"

namespace {

using plugin_check::FilteredRun;

volatile long kept = 0;  // so the compiler keeps each body's work

// getpid, entered from this program's own code rather than the C library's.
long own_getpid() {
  long result = SYS_getpid;
#if defined(__x86_64__)
  asm volatile("syscall" : "+a"(result) : : "rcx", "r11", "memory");
#elif defined(__aarch64__)
  register long number asm("x8") = result;
  register long answer asm("x0");
  asm volatile("svc 0" : "=r"(answer) : "r"(number) : "memory");
  result = answer;
#endif
  return result;
}

struct Case {
  const char *what;
  void (*body)();
  FilteredRun::End end;
  std::string text;
};

TEST(SyscallFilter, NamesTheFirstCallAndLetsTheVdsoAndTheProgramBe) {
  const std::vector<Case> cases = {
      {"arithmetic",
       [] {
         tamrix_host::entering("tamrix_physics_collide");
         for (int i = 0; i < 1000; ++i) {
           kept = kept + i;
         }
       },
       FilteredRun::End::clean, ""},
      {"a monotonic clock read",
       [] {
         tamrix_host::entering("tamrix_physics_step");
         timespec now{};
         clock_gettime(CLOCK_MONOTONIC, &now);
         kept = now.tv_nsec;
       },
       FilteredRun::End::clean, ""},
      {"getpid, past the C library",
       [] {
         tamrix_host::entering("tamrix_physics_step");
         kept = syscall(SYS_getpid);
       },
       FilteredRun::End::called, "tamrix_physics_step called getpid"},
      {"mmap through the C library, in a build whose sanitizer maps memory from the program",
       [] {
         tamrix_host::entering("tamrix_physics_collide");
         kept = reinterpret_cast<long>(
             mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
       },
       FilteredRun::End::called, "tamrix_physics_collide called mmap"},
      {"getpid from the checker's own program",
       [] {
         tamrix_host::entering("tamrix_physics_step");
         kept = own_getpid();
       },
       FilteredRun::End::clean, ""},
      {"a call the table does not name",
       [] {
         tamrix_host::entering("tamrix_physics_collide");
         kept = syscall(SYS_getpgid, 0);
       },
       FilteredRun::End::called,
       "tamrix_physics_collide called system call number " + std::to_string(SYS_getpgid)},
  };
  for (const Case &each : cases) {
    const FilteredRun run = plugin_check::run_without_system_calls(each.body);
    if (run.end == FilteredRun::End::unavailable) {
      GTEST_SKIP() << run.text;
    }
    EXPECT_EQ(run.end, each.end) << each.what << ": " << run.text;
    EXPECT_EQ(run.text, each.text) << each.what;
  }
}

}  // namespace
