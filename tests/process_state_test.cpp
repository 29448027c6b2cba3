// The snapshot of the process and its difference in words: each part named
// when it changes, and nothing named when only what a computation leaves
// behind (exception flags) differs.
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "observe/process_state.hpp"
#include "platform/platform.hpp"

namespace {

using plugin_check::Aspect;
using plugin_check::ProcessState;

// What difference() says of `aspect`, or empty.
std::string said(const ProcessState &before, const ProcessState &after, Aspect aspect) {
  for (const plugin_check::Change &change : plugin_check::difference(before, after)) {
    if (change.aspect == aspect) {
      return change.text;
    }
  }
  return {};
}

ProcessState sample() {
  ProcessState state;
  state.threads = 1;
  state.descriptors = 5;
  state.standard_streams = {"/dev/tty", "/tmp/out", "/tmp/out"};
  state.working_directory = "/work";
  state.umask = 022;
  state.environment = {"HOME=/home/user", "PATH=/bin"};
  state.locale = {"LC_CTYPE=C", "LC_NUMERIC=C"};
  return state;
}

struct Case {
  const char *what;
  void (*change)(ProcessState &state);
  Aspect aspect;
  const char *words;
};

TEST(ProcessStateDifference, NamesEachChangeInWords) {
  const std::vector<Case> cases = {
      {"a variable set", [](ProcessState &s) { s.environment.emplace_back("DATA=/opt"); },
       Aspect::settings, "set the environment variable DATA=/opt"},
      {"a variable changed", [](ProcessState &s) { s.environment.at(0) = "HOME=/"; },
       Aspect::settings, "changed the environment variable HOME from /home/user to /"},
      {"a variable removed", [](ProcessState &s) { s.environment.erase(s.environment.begin()); },
       Aspect::settings, "removed the environment variable HOME"},
      {"a locale", [](ProcessState &s) { s.locale.at(1) = "LC_NUMERIC=de_DE.UTF-8"; },
       Aspect::settings, "changed the locale LC_NUMERIC from C to de_DE.UTF-8"},
      {"the umask", [](ProcessState &s) { s.umask = 077; }, Aspect::settings,
       "changed the umask from 0022 to 0077"},
      {"the working directory", [](ProcessState &s) { s.working_directory = "/"; },
       Aspect::settings, "changed the working directory from /work to /"},
      {"a thread started", [](ProcessState &s) { s.threads = 2; }, Aspect::threads,
       "started 1 thread (1 -> 2)"},
      {"a thread stopped", [](ProcessState &s) { s.threads = 0; }, Aspect::threads,
       "stopped 1 thread (1 -> 0)"},
      {"a process", [](ProcessState &s) { s.children = {42}; }, Aspect::processes,
       "started 1 process that did not end (process id 42)"},
      {"descriptors", [](ProcessState &s) { s.descriptors = 7; }, Aspect::descriptors,
       "left open 2 descriptors (5 -> 7)"},
      {"standard output", [](ProcessState &s) { s.standard_streams.at(1) = "/dev/null"; },
       Aspect::descriptors, "pointed descriptor 1 at /dev/null instead of /tmp/out"},
      {"the heap alone", [](ProcessState &s) { s.heap_outstanding = 3; }, Aspect::heap, ""},
  };
  const ProcessState before = sample();
  EXPECT_TRUE(plugin_check::difference(before, before).empty());
  for (const Case &each : cases) {
    ProcessState after = sample();
    each.change(after);
    const std::vector<plugin_check::Change> changes = plugin_check::difference(before, after);
    EXPECT_EQ(said(before, after, each.aspect), each.words) << each.what;
    EXPECT_EQ(changes.size(), std::string(each.words).empty() ? 0U : 1U) << each.what;
  }
}

TEST(ProcessStateDifference, NoCountIsNoChange) {
  ProcessState before = sample();
  before.threads = -1;
  before.descriptors = -1;
  ProcessState after = sample();
  after.threads = 3;
  after.descriptors = 9;
  EXPECT_TRUE(plugin_check::difference(before, after).empty());
}

// ---- The process table's wordings, on rows made here.

using plugin_check::Row;
using plugin_check::RowLevel;
using plugin_check::Wording;

std::string worded(const Row &row, const std::string &before, const std::string &after) {
  std::string text;
  for (const std::string &part : plugin_check::row_changes(row, before, after)) {
    text += (text.empty() ? "" : " | ") + part;
  }
  return text;
}

TEST(ProcessTableWords, EachWordingSaysOnlyWhatMatters) {
  const Row limit{"RLIMIT_NOFILE", RowLevel::failure, Wording::limit,
                  "%d RLIMIT_NOFILE from %b to %a", nullptr};
  const Row amount{"nice", RowLevel::failure, Wording::amount, "%d the nice value from %b to %a",
                   nullptr};
  const Row added{"libraries", RowLevel::failure, Wording::added, "left %a loaded", nullptr};
  const Row keyed{"descriptor targets", RowLevel::failure, Wording::keyed,
                  "pointed descriptor %k at %a instead of %b", nullptr};
  const Row value{"locale", RowLevel::failure, Wording::value, "changed it from %b to %a", nullptr};
  struct Case {
    const Row *row;
    const char *before;
    const char *after;
    const char *words;
  };
  const std::vector<Case> cases = {
      {&limit, "1024 4096", "64 4096", "lowered RLIMIT_NOFILE from 1024 to 64"},
      {&limit, "1024 4096", "unlimited unlimited", "raised RLIMIT_NOFILE from 1024 to unlimited"},
      {&limit, "1024 4096", "1024 2048",
       "lowered the hard limit of RLIMIT_NOFILE from 4096 to 2048"},
      {&amount, "-5", "3", "raised the nice value from -5 to 3"},
      {&amount, "3", "-5", "lowered the nice value from 3 to -5"},
      {&added, "a.so\nb.so\n", "a.so\nb.so\nc.so\nd.so\n", "left c.so loaded | left d.so loaded"},
      // Gone is not left behind: a library unloaded is no fault.
      {&added, "a.so\nb.so\n", "a.so\n", ""},
      // Opened and closed descriptors are counted elsewhere; a swap is not.
      {&keyed, "3 /tmp/log\n4 pipe:[7]\n", "3 /dev/null\n4 pipe:[7]\n5 /opt/x\n",
       "pointed descriptor 3 at /dev/null instead of /tmp/log"},
      {&keyed, "3 /tmp/log\n4 pipe:[7]\n", "4 pipe:[7]\n", ""},
      {&value, "C", "POSIX", "changed it from C to POSIX"},
      {&value, "C", "C", ""},
  };
  for (const Case &each : cases) {
    EXPECT_EQ(worded(*each.row, each.before, each.after), each.words)
        << each.row->name << ": " << each.before << " -> " << each.after;
  }
}

TEST(ProcessTableWords, DifferenceNamesTheRowAndItsLevel) {
  const std::span<const Row> rows = plugin_check::process_rows();
  ASSERT_FALSE(rows.empty());
  ProcessState before = sample();
  before.table.assign(rows.size(), std::string("1"));
  ProcessState after = before;
  after.table.back() = "2";
  const std::vector<plugin_check::Change> changes = plugin_check::difference(before, after);
  ASSERT_EQ(changes.size(), 1U);
  EXPECT_EQ(changes.front().aspect, Aspect::process);
  EXPECT_EQ(changes.front().row, rows.back().name);
  EXPECT_EQ(changes.front().level, rows.back().level);
  // A row that cannot be read on one side is no change.
  after.table.back() = std::nullopt;
  EXPECT_TRUE(plugin_check::difference(before, after).empty());
}

TEST(ProcessTableSnapshot, AQuietProcessReadsTheSameTwice) {
  const ProcessState first = plugin_check::snapshot();
  EXPECT_EQ(first.table.size(), plugin_check::process_rows().size());
  for (const plugin_check::Change &change :
       plugin_check::difference(first, plugin_check::snapshot())) {
    EXPECT_NE(change.aspect, Aspect::process) << change.row << ": " << change.text;
  }
}

TEST(ProcessTableSnapshot, SeesALibraryLeftLoaded) {
  const ProcessState before = plugin_check::snapshot();
  std::string reason;
  const tamrix_host::platform::Library library =
      tamrix_host::platform::open_library(EMPTY_LIBRARY_PATH, reason);
  ASSERT_NE(library, nullptr) << reason;
  const ProcessState loaded = plugin_check::snapshot();
  tamrix_host::platform::close_library(library);
  const std::string file = std::filesystem::path(EMPTY_LIBRARY_PATH).filename().string();
  EXPECT_EQ(said(before, loaded, Aspect::process), "left " + file + " loaded");
  EXPECT_EQ(said(before, plugin_check::snapshot(), Aspect::process), "");
}

TEST(ProcessStateSnapshot, SeesTheRoundingModeButNotTheFlagsArithmeticLeaves) {
  const ProcessState before = plugin_check::snapshot();
  volatile double zero = 0.0;
  volatile double result = 1.0 / zero + 0.1;  // divide-by-zero and inexact flags
  static_cast<void>(result);
  EXPECT_EQ(said(before, plugin_check::snapshot(), Aspect::fp_environment), "");

  ASSERT_EQ(std::fesetround(FE_TOWARDZERO), 0);
  const ProcessState changed = plugin_check::snapshot();
  std::fesetround(FE_TONEAREST);
  EXPECT_EQ(said(before, changed, Aspect::fp_environment)
                .rfind("changed the rounding mode from to-nearest to toward-zero (", 0),
            0U)
      << said(before, changed, Aspect::fp_environment);
  EXPECT_EQ(said(before, plugin_check::snapshot(), Aspect::fp_environment), "");
}

TEST(ProcessStateSnapshot, SeesAThreadUntilItEnds) {
  std::atomic<bool> stop{false};
  std::thread worker([&stop] {
    while (!stop) {
      std::this_thread::yield();
    }
  });
  const ProcessState running = plugin_check::snapshot();
  stop = true;
  worker.join();
  // The system may list a joined thread a moment longer (qemu for a while),
  // and a thread sanitizer starts one of its own with the first thread; so
  // the thread is told from the state after it ended.
  ProcessState ended = plugin_check::snapshot();
  for (int tries = 0; ended.threads != running.threads - 1 && tries < 200; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ended = plugin_check::snapshot();
  }
  EXPECT_EQ(said(ended, running, Aspect::threads), "started 1 thread (" +
                                                       std::to_string(ended.threads) + " -> " +
                                                       std::to_string(running.threads) + ")");
}

TEST(ProcessStateSnapshot, SeesTheWorkingDirectory) {
  const std::filesystem::path home = std::filesystem::current_path();
  const ProcessState before = plugin_check::snapshot();
  std::filesystem::current_path(home.parent_path());
  const ProcessState moved = plugin_check::snapshot();
  std::filesystem::current_path(home);
  EXPECT_EQ(said(before, moved, Aspect::settings), "changed the working directory from " +
                                                       before.working_directory + " to " +
                                                       moved.working_directory);
  EXPECT_NE(before.working_directory, moved.working_directory);
  EXPECT_EQ(said(before, plugin_check::snapshot(), Aspect::settings), "");
}

TEST(ProcessStateSnapshot, ALibraryUnloadedIsGone) {
  std::string reason;
  const tamrix_host::platform::Library library =
      tamrix_host::platform::open_library(EMPTY_LIBRARY_PATH, reason);
  ASSERT_NE(library, nullptr) << reason;
  EXPECT_TRUE(plugin_check::library_still_loaded(EMPTY_LIBRARY_PATH));
  tamrix_host::platform::close_library(library);
  EXPECT_FALSE(plugin_check::library_still_loaded(EMPTY_LIBRARY_PATH));
}

}  // namespace
