// The snapshot of the process and its difference in words: each part named
// when it changes, and nothing named when only what a computation leaves
// behind (exception flags) differs.
#include <gtest/gtest.h>

#include <algorithm>
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

using plugin_check::Row;
using plugin_check::RowLevel;
using plugin_check::Wording;

// The place of the row named `name` in this platform's table.
std::size_t row_at(std::string_view name) {
  const std::span<const Row> rows = plugin_check::process_rows();
  const auto found =
      std::find_if(rows.begin(), rows.end(), [name](const Row &row) { return row.name == name; });
  EXPECT_NE(found, rows.end()) << name;
  return static_cast<std::size_t>(found - rows.begin());
}

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
  const Row entries{"environment", RowLevel::failure, Wording::entries,
                    "the environment variable %k", nullptr};
  const Row threads{
      .name = "threads", .wording = Wording::own, .say = plugin_check::threads_changed};
  const Row descriptors{
      .name = "descriptors", .wording = Wording::own, .say = plugin_check::descriptors_changed};
  struct Case {
    const Row *row;
    std::string before;
    std::string after;
    const char *words;
  };
  using namespace std::string_literals;
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
      // One entry a NUL, so a value may hold a line break.
      {&entries, "HOME=/home/user\0PATH=/bin\0"s, "DATA=a\nb\0HOME=/\0"s,
       "set the environment variable DATA=a\nb | changed the environment variable HOME from "
       "/home/user to / | removed the environment variable PATH"},
      {&threads, "1", "2", "started 1 thread (1 -> 2)"},
      {&threads, "3", "1", "stopped 2 threads (3 -> 1)"},
      {&descriptors, "5", "7", "left open 2 descriptors (5 -> 7)"},
  };
  for (const Case &each : cases) {
    EXPECT_EQ(worded(*each.row, each.before, each.after), each.words)
        << each.row->name << ": " << each.before << " -> " << each.after;
  }
}

// The rows of one aspect are one change, their words joined in the table's
// order; every other row is a change of its own, named with its level.
TEST(ProcessTableWords, DifferenceJoinsAnAspectAndNamesEachOtherRow) {
  const std::span<const Row> rows = plugin_check::process_rows();
  const ProcessState taken = plugin_check::snapshot();
  ASSERT_EQ(taken.values.size(), rows.size());
  ProcessState changed = taken;
  changed.values.at(row_at("working directory")) = "/elsewhere";
  std::string &environment = changed.values.at(row_at("environment")).value();
  environment.insert(0, std::string("0_PLUGIN=on") + '\0');
  const std::size_t own_row = row_at("thread locale");
  changed.values.at(own_row) = "a locale of its own";
  const std::vector<plugin_check::Change> changes = plugin_check::difference(taken, changed);
  ASSERT_EQ(changes.size(), 2U);
  EXPECT_EQ(changes.front().aspect, Aspect::settings);
  EXPECT_EQ(changes.front().text,
            "changed the working directory from " + *taken.value("working directory") +
                " to /elsewhere and set the environment variable 0_PLUGIN=on");
  EXPECT_EQ(changes.back().aspect, Aspect::process);
  EXPECT_EQ(changes.back().row, &rows[own_row]);
  // A row that cannot be read on one side is no change, nor a count the
  // system cannot give.
  ProcessState unread = changed;
  unread.values.at(own_row) = std::nullopt;
  unread.values.at(row_at("threads")) = std::nullopt;
  unread.values.at(row_at("working directory")) = std::nullopt;
  unread.values.at(row_at("environment")) = std::nullopt;
  EXPECT_EQ(unread.threads(), -1);
  EXPECT_TRUE(plugin_check::difference(taken, unread).empty());
  EXPECT_TRUE(plugin_check::difference(unread, taken).empty());
  // Nor anything in a state made by hand, or in the heap, which is the caller's.
  changed = taken;
  changed.heap_outstanding = taken.heap_outstanding + 3;
  EXPECT_TRUE(plugin_check::difference(taken, changed).empty());
  EXPECT_TRUE(plugin_check::difference(ProcessState{}, changed).empty());
}

TEST(ProcessTableSnapshot, AQuietProcessReadsTheSameTwice) {
  const ProcessState first = plugin_check::snapshot();
  EXPECT_EQ(first.values.size(), plugin_check::process_rows().size());
  EXPECT_GT(first.threads(), 0);
  for (const plugin_check::Change &change :
       plugin_check::difference(first, plugin_check::snapshot())) {
    EXPECT_NE(change.aspect, Aspect::process) << change.row->name << ": " << change.text;
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
  for (int tries = 0; ended.threads() != running.threads() - 1 && tries < 200; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ended = plugin_check::snapshot();
  }
  EXPECT_EQ(said(ended, running, Aspect::threads), "started 1 thread (" +
                                                       std::to_string(ended.threads()) + " -> " +
                                                       std::to_string(running.threads()) + ")");
}

TEST(ProcessStateSnapshot, SeesTheWorkingDirectory) {
  const std::filesystem::path home = std::filesystem::current_path();
  const ProcessState before = plugin_check::snapshot();
  std::filesystem::current_path(home.parent_path());
  const ProcessState moved = plugin_check::snapshot();
  std::filesystem::current_path(home);
  EXPECT_EQ(said(before, moved, Aspect::settings), "changed the working directory from " +
                                                       *before.value("working directory") + " to " +
                                                       *moved.value("working directory"));
  EXPECT_NE(before.value("working directory"), moved.value("working directory"));
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
