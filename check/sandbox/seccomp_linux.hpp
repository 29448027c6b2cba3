// What the two filters of system calls share, on Linux: the machine the
// filter checks for, the names of the calls a plug-in is likely to make, and
// a loaded object's code as the stretches of addresses a filter compares.
#pragma once

#include <link.h>
#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plugin_check::seccomp {

// The machine's audit architecture, as a filter's program checks it.
std::uint32_t native_arch();

// A system call's name where plugin-check knows it, else null.
const char *system_call_name(long number);

// Addresses whose upper 32 bits are the same, as a filter compares them:
// it loads 32 bits at a time.
struct CodeStretch {
  std::uint32_t high;
  std::uint32_t first_low;
  std::uint32_t last_low;
};

// The executable segments of one loaded object, cut where the upper half of
// an address changes, added to `out`.
void add_code_of(const dl_phdr_info &object, std::vector<CodeStretch> &out);

// The lines of a filter's program: load a word of the call's data, jump
// forward by `yes` or `no` lines on a test, answer.
inline sock_filter load(std::uint32_t offset) {
  return sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}
inline sock_filter jump(std::uint16_t test, std::uint32_t value, std::size_t yes, std::size_t no) {
  return sock_filter BPF_JUMP(BPF_JMP | test | BPF_K, value, static_cast<std::uint8_t>(yes),
                              static_cast<std::uint8_t>(no));
}
inline sock_filter answer(std::uint32_t value) {
  return sock_filter BPF_STMT(BPF_RET | BPF_K, value);
}

// Appends to `program` the lines that jump to its line `target` when the
// call was made from one of `code`'s stretches, five a stretch; a call made
// elsewhere goes on past them. A jump goes forward by at most 255 lines, so
// a program tests at most `most_stretches`.
inline constexpr std::size_t most_stretches = 40;
void add_code_tests(std::vector<sock_filter> &program, const std::vector<CodeStretch> &code,
                    std::size_t target);

}  // namespace plugin_check::seccomp
