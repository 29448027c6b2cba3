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
      text += std::string(change.row->name) + ": " + change.text + "\n";
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

// The rows the checks of their own judge, in their words.
TEST(ProcessTableLinux, TheChecksOwnRowsSayTheirWords) {
  using namespace std::string_literals;
  const auto said = [](std::string_view name, const std::string &before, const std::string &after) {
    for (const plugin_check::Row &row : plugin_check::process_rows()) {
      if (row.name == name) {
        std::string text;
        for (const std::string &part : plugin_check::row_changes(row, before, after)) {
          text += (text.empty() ? "" : " | ") + part;
        }
        return text;
      }
    }
    return "no row " + std::string(name);
  };
  EXPECT_EQ(said("umask", "0022", "0077"), "changed the umask from 0022 to 0077");
  EXPECT_EQ(said("child processes", "", "42\n"),
            "started 1 process that did not end (process id 42)");
  EXPECT_EQ(said("child processes", "7\n", "7\n42\n43\n"),
            "started 2 processes that did not end (process id 42, 43)");
  EXPECT_EQ(said("child processes", "7\n", ""), "");  // ended is no change
  EXPECT_EQ(said("descriptor 1", "/tmp/out", "/dev/null"),
            "pointed descriptor 1 at /dev/null instead of /tmp/out");
  EXPECT_EQ(said("locale", "LC_CTYPE=C\0LC_NUMERIC=C\0"s, "LC_CTYPE=C\0LC_NUMERIC=de_DE.UTF-8\0"s),
            "changed the locale LC_NUMERIC from C to de_DE.UTF-8");
}

void on_user_signal(int /*number*/) {}

TEST(ProcessTableLinux, ASignalActionPutBackIsNoChange) {
  const ProcessState before = plugin_check::snapshot();
  struct sigaction action {};
  struct sigaction saved {};
  action.sa_handler = on_user_signal;
  sigaction(SIGUSR2, &action, &saved);
  sigset_t user;
  sigemptyset(&user);
  sigaddset(&user, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &user, nullptr);
  const ProcessState changed = plugin_check::snapshot();
  pthread_sigmask(SIG_UNBLOCK, &user, nullptr);
  sigaction(SIGUSR2, &saved, nullptr);
  const std::vector<plugin_check::Change> changes = plugin_check::difference(before, changed);
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.front().aspect, Aspect::signals);
  EXPECT_EQ(changes.front().text, "blocked SIGUSR1 and installed a handler for SIGUSR2");
  for (const plugin_check::Change &change :
       plugin_check::difference(before, plugin_check::snapshot())) {
    EXPECT_NE(change.aspect, Aspect::signals) << change.text;
  }
}

}  // namespace
