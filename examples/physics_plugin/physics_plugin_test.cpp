// The plug-in's physics, tested with the installed host fixture over an
// engine world: where its bodies are after a number of steps.
#include <gtest/gtest.h>
#include <ode/ode.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tamrix_host.hpp"

namespace {

using tamrix_host::EngineBody;
using tamrix_host::EngineGeometry;
using tamrix_host::Host;
using tamrix_host::World;

EngineBody cube(const std::string &name, std::array<double, 3> position,
                std::array<double, 3> velocity = {}) {
  EngineBody body;
  body.name = name;
  body.position = position;
  body.velocity = velocity;
  return body;  // a 1 kg box with 1 m edges
}

World world() {
  World world;
  world.engine.emplace();
  world.engine->bodies = {cube("lift", {-5, 0, 2}), cube("box", {0, 0, 0.5}, {1, 0, 0})};
  world.engine->geometries = {EngineGeometry{.name = "floor"}};  // the plane z = 0
  return world;
}

class PhysicsPlugin : public ::testing::Test {
 protected:
  void run(long steps) {
    for (long step = 0; step < steps; ++step) {
      host.step(plugin);
    }
  }

  Host host{world()};  // first, so it outlives the plug-in that calls it
  tamrix_host::Plugin plugin{PHYSICS_PLUGIN_PATH};
};

TEST_F(PhysicsPlugin, HoldsTheLiftAgainstGravity) {
  host.set_up(plugin);
  host.init(plugin);
  run(100);
  const auto lift = host.body_state("lift");
  EXPECT_NEAR(lift.position[2], 2.0, 0.001);
  EXPECT_NEAR(lift.velocity[2], 0.0, 0.001);
  host.cleanup(plugin);
}

TEST_F(PhysicsPlugin, ItsFrictionlessContactsLetTheBoxSlideOnTheFloor) {
  host.set_up(plugin);
  host.init(plugin);
  run(200);
  const auto box = host.body_state("box");
  EXPECT_NEAR(box.position[0], 2.0, 0.05);
  EXPECT_NEAR(box.position[2], 0.5, 0.02);  // on the floor, not through it
  EXPECT_NEAR(box.velocity[0], 1.0, 0.01);
  // Every pair was the plug-in's to deal with.
  for (const auto &tally : host.tallies()) {
    EXPECT_EQ(tally.answers.count(0), 0U) << tally.first << ", " << tally.second;
  }
  host.cleanup(plugin);
}

TEST_F(PhysicsPlugin, StepsOnSeveralHostThreadsAtOnceLoseNoPush) {
  // A host may step on several threads together; every step's push must
  // reach the body, which only the plug-in's lock makes sure of. Nothing
  // steps the world here, so the engine clears no force in between.
  host.set_up(plugin);
  host.init(plugin);
  auto *const lift = static_cast<dBodyID>(static_cast<void *>(host.body("lift")));
  plugin.call(tamrix_host::hook::step);
  const dReal one_push = dBodyGetForce(lift)[2];
  ASSERT_GT(one_push, 0.0);
  constexpr int threads = 4;
  constexpr int steps = 100000;
  // All step together, not one after another. A mutex and a condition
  // variable, not std::latch: MinGW's C++ library can lose a latch's
  // wake-up, and the test would wait for good.
  std::mutex gate;
  std::condition_variable all_ready;
  int waiting = threads;
  {
    std::vector<std::jthread> stepping;
    stepping.reserve(threads);
    for (int thread = 0; thread < threads; ++thread) {
      stepping.emplace_back([&] {
        {
          std::unique_lock lock(gate);
          if (--waiting == 0) {
            all_ready.notify_all();
          }
          all_ready.wait(lock, [&] { return waiting == 0; });
        }
        for (int step = 0; step < steps; ++step) {
          plugin.call(tamrix_host::hook::step.unnamed());
        }
      });
    }
  }
  const dReal pushes = dBodyGetForce(lift)[2] / one_push;
  EXPECT_NEAR(pushes, threads * steps + 1, 0.5);  // less than one push lost
  host.cleanup(plugin);
}

TEST_F(PhysicsPlugin, WithoutItTheLiftFalls) {
  // The same world with the plug-in never initialised: nothing holds the lift.
  host.set_up(plugin);
  run(100);
  EXPECT_LT(host.body_state("lift").position[2], 1.6);
}

TEST_F(PhysicsPlugin, ActsOnTheBodiesOfAWorldThatReplacedTheLast) {
  host.set_up(plugin);
  host.init(plugin);
  run(10);
  host.cleanup(plugin);
  host.new_world();
  host.init(plugin);
  run(100);
  EXPECT_NEAR(host.body_state("lift").position[2], 2.0, 0.001);
  EXPECT_NEAR(host.body_state("box").position[0], 1.0, 0.05);
  host.cleanup(plugin);
}

}  // namespace
