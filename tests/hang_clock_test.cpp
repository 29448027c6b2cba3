// host-sim's time limit, looked at with made-up times: what counts as hung,
// and the line that names it.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/hang.hpp"
#include "tamrix_host.hpp"

namespace {

using tamrix_host::HangClock;
using tamrix_host::Moment;
using tamrix_host::Stage;

Moment in_step(unsigned long calls) {
  Moment moment;
  moment.stage = Stage::living;
  moment.in_hook = true;
  moment.calls = calls;
  moment.steps = 3;
  return moment;
}

// Looks every 0.1 s from `from` to `to` at the same moment; true once timed out.
bool looks(HangClock &clock, const Moment &moment, double from, double to, bool stopped = false,
           bool paused = false) {
  const long count = std::lround((to - from) * 10);
  for (long look = 0; look <= count; ++look) {
    if (clock.timed_out(moment, stopped, paused, from + static_cast<double>(look) * 0.1)) {
      return true;
    }
  }
  return false;
}

TEST(HangClock, OnlyACallThatStaysPastTheLimitIsHung) {
  HangClock clock(1.0);
  // A long run of calls that each return in time: never.
  for (unsigned long call = 1; call < 100; ++call) {
    EXPECT_FALSE(clock.timed_out(in_step(call), false, false, 0.5 * static_cast<double>(call)));
  }
  EXPECT_FALSE(looks(clock, in_step(100), 50.0, 50.9));
  EXPECT_TRUE(looks(clock, in_step(100), 51.0, 51.1));

  // Between two calls the time is the host's, however long, unless the
  // process is stopped there.
  Moment between = in_step(7);
  between.in_hook = false;
  HangClock host_time(1.0);
  EXPECT_FALSE(looks(host_time, between, 0.0, 5.0));
  EXPECT_TRUE(looks(host_time, between, 5.1, 7.0, true));

  // Before the plug-in is loaded nothing of it runs; loading, unloading and
  // the end of the process are timed whether a hook runs or not.
  for (const Stage stage : {Stage::loading, Stage::unloading, Stage::finished}) {
    Moment moment;
    moment.stage = stage;
    HangClock timed(1.0);
    EXPECT_TRUE(looks(timed, moment, 0.0, 1.5)) << static_cast<int>(stage);
  }
  HangClock starting(1.0);
  EXPECT_FALSE(looks(starting, Moment{}, 0.0, 5.0));
}

TEST(HangClock, TimeSpentWaitingOnOthersIsNotThePlugins) {
  // A debugger or a slow reader holds the call: the clock starts again after.
  HangClock clock(1.0);
  EXPECT_FALSE(looks(clock, in_step(4), 0.0, 0.8));
  EXPECT_FALSE(looks(clock, in_step(4), 0.9, 10.0, false, true));
  EXPECT_FALSE(looks(clock, in_step(4), 10.1, 10.9));
  EXPECT_TRUE(looks(clock, in_step(4), 11.0, 11.2));

  // host-sim itself stopped for a minute (Ctrl-Z): the gap counts as little.
  HangClock suspended(1.0);
  EXPECT_FALSE(suspended.timed_out(in_step(5), false, false, 0.0));
  EXPECT_FALSE(suspended.timed_out(in_step(5), false, false, 60.0));
  EXPECT_TRUE(looks(suspended, in_step(5), 60.1, 61.0));
}

TEST(HangClock, TheWatcherReadsTheRunAsItGoes) {
  tamrix_host::Progress progress;
  tamrix_host::heard(progress, tamrix_host::hook::init.name);
  tamrix_host::heard(progress, nullptr);
  for (int step = 0; step < 3; ++step) {
    tamrix_host::heard(progress, tamrix_host::hook::step.name);
    tamrix_host::heard(progress, nullptr);
    tamrix_host::heard(progress, tamrix_host::hook::collide.name);
  }
  progress.stage = static_cast<int>(Stage::living);
  const Moment moment = tamrix_host::moment_of(progress);
  EXPECT_EQ(moment.steps, 3);
  EXPECT_EQ(moment.calls, 11U);
  EXPECT_TRUE(moment.in_hook);
  // The page is the plug-in's to scribble on: a stage it made up is read as
  // the life's, never used as it stands.
  progress.stage = 77;
  EXPECT_EQ(tamrix_host::moment_of(progress).stage, Stage::living);
}

TEST(HangText, NamesTheCallAndWhereTheRunStood) {
  using tamrix_host::hang_text;
  EXPECT_EQ(hang_text(in_step(9), "tamrix_physics_step", 10, ""),
            "tamrix_physics_step did not return within 10 s (step 3)");
  EXPECT_EQ(hang_text(in_step(9), "tamrix_physics_collide", 0.5, "SIGSTOP"),
            "tamrix_physics_collide did not return within 0.5 s (step 3): the process is stopped "
            "(SIGSTOP)");
  // Before the first step a step number would mislead.
  Moment init = in_step(2);
  init.steps = 0;
  EXPECT_EQ(hang_text(init, "tamrix_physics_init", 10, ""),
            "tamrix_physics_init did not return within 10 s");
  Moment moment;
  moment.stage = Stage::loading;
  EXPECT_EQ(hang_text(moment, "", 2, ""), "the plug-in did not finish loading within 2 s");
  moment.stage = Stage::unloading;
  EXPECT_EQ(hang_text(moment, "tamrix_physics_cleanup", 10, ""),
            "the run did not end within 10 s after tamrix_physics_cleanup returned, while "
            "unloading the plug-in");
  moment.stage = Stage::finished;
  EXPECT_EQ(hang_text(moment, "", 10, ""),
            "the run did not end within 10 s, while the process ended");
  moment.stage = Stage::living;
  EXPECT_EQ(hang_text(moment, "tamrix_physics_step", 10, "SIGTSTP"),
            "the process was stopped (SIGTSTP) outside any plug-in call, and did not go on "
            "within 10 s");
}

}  // namespace
