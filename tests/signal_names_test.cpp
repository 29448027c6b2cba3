// The one table of signal names, which host-sim, the fixture's crash report
// and plugin-check all read.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "platform/signals_posix.hpp"

namespace {

using tamrix_host::platform::crash_name;
using tamrix_host::platform::crash_signals;
using tamrix_host::platform::signal_name;
using tamrix_host::platform::signal_text;
using tamrix_host::platform::signal_words;

// Written out so a signal handler can read it, the table must still say what
// the C library says, or a report would name a signal its author cannot find.
TEST(SignalNames, AgreeWithTheCLibrary) {
  for (int number = 1; number < SIGRTMIN; ++number) {
    const char *abbreviation = sigabbrev_np(number);
    const char *name = signal_name(number);
    if (abbreviation == nullptr) {
      EXPECT_EQ(name, nullptr) << number;
    } else {
      ASSERT_NE(name, nullptr) << number;
      EXPECT_EQ(std::string(name), "SIG" + std::string(abbreviation));
    }
  }
  EXPECT_EQ(signal_name(SIGRTMIN), nullptr);
  EXPECT_EQ(signal_name(0), nullptr);
  EXPECT_EQ(signal_name(-1), nullptr);
}

TEST(SignalNames, OnlyWhatAPluginRaisesReadsAsACrash) {
  EXPECT_EQ(signal_text(SIGSEGV), "SIGSEGV (invalid memory access)");
  EXPECT_STREQ(crash_name(SIGSYS), "SIGSYS (bad system call)");
  EXPECT_EQ(crash_name(SIGKILL), nullptr);
  EXPECT_EQ(crash_name(0x1'0000'000bUL), nullptr);  // SIGSEGV's number, past an int
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test reads it on one thread
  EXPECT_EQ(signal_text(SIGKILL), "signal 9 (" + std::string(strsignal(SIGKILL)) + ")");
}

// A watcher that catches crashes by a list of its own once missed SIGSYS.
TEST(SignalNames, TheCrashSignalsAreThoseThatReadAsACrash) {
  const std::vector<int> crashes = crash_signals();
  for (int number = 1; number < SIGRTMIN; ++number) {
    const bool listed = std::find(crashes.begin(), crashes.end(), number) != crashes.end();
    EXPECT_EQ(listed, crash_name(static_cast<unsigned long>(number)) != nullptr) << number;
  }
  EXPECT_NE(std::find(crashes.begin(), crashes.end(), SIGSYS), crashes.end());
}

// A real-time signal's number is the C library's choice, so it is named from
// SIGRTMIN, as host-sim and plugin-check both word it.
TEST(SignalNames, ARealTimeSignalIsNamedFromItsFirst) {
  EXPECT_EQ(signal_words(SIGRTMIN), "SIGRTMIN+0");
  EXPECT_EQ(signal_words(SIGRTMIN + 3), "SIGRTMIN+3");
  EXPECT_EQ(signal_words(SIGSEGV), "SIGSEGV");
  EXPECT_EQ(signal_words(0), "signal 0");
}

}  // namespace
