// The Linux process table read from a live process: each setting changed
// here is named by its row, and put back it is not; a signal action saved
// and put back is no change, whatever flags the C library adds.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "observe/process_state.hpp"

namespace {

using plugin_check::Aspect;
using plugin_check::ProcessState;

// What difference() says of the table, "row: words" a change, one a line.
std::string table_changes(const ProcessState &before, const ProcessState &after) {
  std::string text;
  for (const plugin_check::Change &change : plugin_check::difference(before, after)) {
    if (change.aspect == Aspect::process) {
      text += std::string(change.row) + ": " + change.text + "\n";
    }
  }
  return text;
}

struct Setting {
  const char *row;
  const char *words;  // the start of what is said
  std::function<void()> change;
  std::function<void()> undo;
};

TEST(ProcessTableLinux, NamesEachSettingUntilItIsPutBack) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  std::array<char, 65536> alternate{};
  stack_t old_stack{};
  FILE *const standard_output = stdout;
  std::array<int, 2> fds = {open("/dev/null", O_RDONLY), open("/dev/zero", O_RDONLY)};
  locale_t own = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::vector<Setting> settings = {
      {"RLIMIT_NOFILE", "lowered RLIMIT_NOFILE from ",
       [&] {
         rlimit lower = files;
         lower.rlim_cur = 64;
         setrlimit(RLIMIT_NOFILE, &lower);
       },
       [&] { setrlimit(RLIMIT_NOFILE, &files); }},
      {"alternate signal stack", "changed the alternate signal stack from ",
       [&] {
         const stack_t stack{alternate.data(), 0, alternate.size()};
         sigaltstack(&stack, &old_stack);
       },
       [&] { sigaltstack(&old_stack, nullptr); }},
      {"stdout", "pointed stdout at stderr's own FILE instead of stdout's own FILE",
       [] { stdout = stderr; }, [&] { stdout = standard_output; }},
      {"descriptor targets", "pointed descriptor ",
       [&] {
         const int spare = dup(fds[0]);
         dup2(fds[1], fds[0]);
         dup2(spare, fds[1]);
         close(spare);
       },
       [&] {
         const int spare = dup(fds[0]);
         dup2(fds[1], fds[0]);
         dup2(spare, fds[1]);
         close(spare);
       }},
      {"thread locale", "left the calling thread in a locale of its own (uselocale)",
       [&] { uselocale(own); }, [] { uselocale(LC_GLOBAL_LOCALE); }},
  };
  for (const Setting &setting : settings) {
    const ProcessState before = plugin_check::snapshot();
    setting.change();
    const ProcessState changed = plugin_check::snapshot();
    setting.undo();
    EXPECT_EQ(
        table_changes(before, changed).rfind(std::string(setting.row) + ": " + setting.words, 0),
        0U)
        << table_changes(before, changed);
    EXPECT_EQ(table_changes(before, plugin_check::snapshot()), "") << setting.row;
  }
  freelocale(own);
  close(fds[0]);
  close(fds[1]);
}

void on_user_signal(int /*number*/) {}

TEST(ProcessTableLinux, ASignalActionPutBackIsNoChange) {
  const ProcessState before = plugin_check::snapshot();
  struct sigaction action {};
  struct sigaction saved {};
  action.sa_handler = on_user_signal;
  sigaction(SIGUSR2, &action, &saved);
  sigaction(SIGUSR2, &saved, nullptr);
  for (const plugin_check::Change &change :
       plugin_check::difference(before, plugin_check::snapshot())) {
    EXPECT_NE(change.aspect, Aspect::signals) << change.text;
  }
}

}  // namespace
