// The plug-in's own logic, tested with the installed host fixture: each test
// loads a fresh copy, sets up a world, drives the plug-in's life and reads
// back what crossed the boundary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tamrix_host.hpp"

namespace {

using tamrix_host::Host;
using tamrix_host::Message;
using tamrix_host::World;

class ContactPlugin : public ::testing::Test {
 protected:
  static World world() {
    World world({"arm"}, {"floor", "arm", "wheel"});
    world.step_seconds = 0.5;
    return world;
  }

  Host host{world()};  // first, so it outlives the plug-in that calls it
  tamrix_host::Plugin plugin{CONTACT_PLUGIN_PATH};
};

TEST_F(ContactPlugin, CollidesWithTheFloorOnly) {
  host.set_up(plugin);
  host.init(plugin);
  EXPECT_EQ(host.step(plugin), 2);  // (floor, arm) and (floor, wheel); not (arm, wheel)
  for (const auto &collide : host.collides()) {
    EXPECT_EQ(collide.answer, collide.first == "floor" ? 1 : 0)
        << collide.first << ", " << collide.second;
  }
  host.cleanup(plugin);
}

TEST_F(ContactPlugin, AnswersEachPingWithAPongAndIgnoresTheRest) {
  host.queue_message(1, "ping");
  host.queue_message(1, "hello");
  host.queue_message(3, "ping");  // not its channel
  host.set_up(plugin);
  host.init(plugin);
  host.step(plugin);
  host.queue_message(1, "ping");
  host.step(plugin);
  host.cleanup(plugin);
  EXPECT_EQ(host.sends(),
            (std::vector<Message>{{2, {'p', 'o', 'n', 'g'}}, {2, {'p', 'o', 'n', 'g'}}}));
}

TEST_F(ContactPlugin, PrintsItsStepsAndTheHostsTimeAtCleanup) {
  host.set_up(plugin);
  host.init(plugin);
  for (int step = 0; step < 3; ++step) {
    host.step(plugin);
  }
  host.cleanup(plugin);
  ASSERT_EQ(host.console().size(), 2U);
  EXPECT_EQ(host.console()[0].text, "not found");  // the world has no body1
  EXPECT_EQ(host.console()[1].format, "steps: %ld, time: %g");
  EXPECT_EQ(host.console()[1].text, "steps: 3, time: 1.5");
  EXPECT_EQ(host.time_reads(), std::vector<double>{1.5});
}

TEST_F(ContactPlugin, ForgetsTheFloorOfAWorldThatWasReplaced) {
  host.set_up(plugin);
  host.init(plugin);
  host.cleanup(plugin);
  host.new_world();  // same names, new handles
  host.init(plugin);
  EXPECT_EQ(host.step(plugin), 2);
  EXPECT_EQ(host.get_body(plugin, "arm"), host.body("arm"));
  host.cleanup(plugin);
}

}  // namespace
