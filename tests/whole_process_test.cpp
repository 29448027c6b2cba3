// The process read whole from a live process: a setting changed here is a
// line that differs until it is put back, the work of a sound plug-in
// (memory taken and given back, time spent, a pipe written and read) is
// none, and each row the reader says words a line is a row of the table.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "observe/process_state.hpp"
#include "observe/whole_process.hpp"

namespace {

using plugin_check::LineChange;
using plugin_check::whole_process;

std::string said(const std::vector<LineChange> &changes) {
  std::string text;
  for (const LineChange &change : changes) {
    text += change.file + ": " + change.before.value_or("(none)") + " -> " +
            change.after.value_or("(none)") + "\n";
  }
  return text;
}

TEST(WholeProcessLinux, ASettingIsALineAndWorkIsNone) {
  std::array<int, 2> pipe_ends{};
  ASSERT_EQ(pipe(pipe_ends.data()), 0);
  const plugin_check::WholeProcess before = whole_process();

  constexpr int taken = 4096;
  std::vector<std::unique_ptr<std::array<char, 4096>>> blocks;
  blocks.reserve(taken);
  for (int i = 0; i < taken; ++i) {
    blocks.push_back(std::make_unique<std::array<char, 4096>>());
  }
  blocks.clear();
  std::array<char, 3> bytes{'a', 'b', 'c'};
  ASSERT_EQ(write(pipe_ends[1], bytes.data(), bytes.size()), 3);
  ASSERT_EQ(read(pipe_ends[0], bytes.data(), bytes.size()), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(said(line_changes(before, whole_process())), "");

  const int flags = fcntl(pipe_ends[0], F_GETFL);
  fcntl(pipe_ends[0], F_SETFL, flags | O_NONBLOCK);
  void *page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  const std::vector<LineChange> changes = line_changes(before, whole_process());
  ASSERT_EQ(changes.size(), 2U) << said(changes);
  EXPECT_EQ(changes[0].file.rfind("/proc/self/maps", 0), 0U) << said(changes);
  EXPECT_NE(changes[0].after.value_or("").find(" r--p "), std::string::npos) << said(changes);
  EXPECT_EQ(
      changes[1].file.rfind("/proc/self/fdinfo/" + std::to_string(pipe_ends[0]) + " (pipe:", 0), 0U)
      << said(changes);
  EXPECT_EQ(changes[1].key, "flags");

  fcntl(pipe_ends[0], F_SETFL, flags);
  munmap(page, 4096);
  EXPECT_EQ(said(line_changes(before, whole_process())), "");
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

// A name the reader gets wrong would leave a line said twice, by its row and here.
TEST(WholeProcessLinux, EveryRowNamedForALineIsATableRow) {
  const std::span<const plugin_check::Row> rows = plugin_check::process_rows();
  for (const plugin_check::WholeFile &file : whole_process().files) {
    for (const auto &[key, line] : file.lines) {
      for (const std::string_view row :
           plugin_check::worded_by({file.name, key, line, line}).rows) {
        EXPECT_TRUE(
            std::any_of(rows.begin(), rows.end(),
                        [row](const plugin_check::Row &known) { return known.name == row; }))
            << file.name << ": " << line << " names no row " << row;
      }
    }
  }
}

}  // namespace
