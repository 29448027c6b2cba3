// The plug-in's control of the elbow, tested with the installed host fixture
// over the arm's world: where the joints are after a number of steps, and
// that the plug-in brings the elbow back when something pushes it away.
#include <gtest/gtest.h>
#include <ode/ode.h>

#include <string>

#include "tamrix_host.hpp"

namespace {

using tamrix_host::EngineBody;
using tamrix_host::EngineJoint;
using tamrix_host::Host;
using tamrix_host::JointMotor;
using tamrix_host::World;

EngineBody link(const std::string &name, double x, double mass) {
  EngineBody body;
  body.name = name;
  body.size = {1, 0.1, 0.1};
  body.mass = mass;
  body.position = {x, 0, 1.5};
  return body;
}

EngineJoint hinge(const std::string &name, const std::string &first, const std::string &second,
                  double x) {
  EngineJoint joint;
  joint.name = name;
  joint.first = first;
  joint.second = second;
  joint.anchor = {x, 0, 1.5};
  joint.axis = {0, 1, 0};
  return joint;
}

// As world.toml: the shoulder held level by a motor at speed 0, the elbow
// left to the plug-in.
World arm() {
  World world;
  world.engine.emplace();
  world.engine->bodies = {link("upper", 0.5, 1.0), link("forearm", 1.5, 0.5)};
  world.engine->joints = {hinge("shoulder", "upper", "", 0), hinge("elbow", "forearm", "upper", 1)};
  world.engine->joints[0].motor = JointMotor{.velocity = 0, .max_force = 200};
  return world;
}

class ArmPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    host.set_up(plugin);
    host.init(plugin);
  }
  void TearDown() override { host.cleanup(plugin); }
  void run(long steps) {
    for (long step = 0; step < steps; ++step) {
      host.step(plugin);
    }
  }

  Host host{arm()};  // first, so it outlives the plug-in that calls it
  tamrix_host::Plugin plugin{ARM_PLUGIN_PATH};
};

TEST_F(ArmPlugin, TurnsTheElbowToItsAngleAndHoldsIt) {
  run(150);
  EXPECT_NEAR(host.joint_state("elbow").angle, 0.8, 0.01);
  run(150);
  EXPECT_NEAR(host.joint_state("elbow").angle, 0.8, 0.01);
  EXPECT_NEAR(host.joint_state("elbow").rate, 0.0, 0.01);
  EXPECT_NEAR(host.joint_state("shoulder").angle, 0.0, 0.01);
}

TEST_F(ArmPlugin, BringsTheElbowBackAfterAPush) {
  run(150);
  // A push up on the forearm's end for 0.05 s, harder than the motor's 50 N·m.
  auto *const forearm = reinterpret_cast<dBodyID>(host.body("forearm"));
  for (int step = 0; step < 5; ++step) {
    dBodyAddForceAtRelPos(forearm, 0, 0, 150, 0.5, 0, 0);
    host.step(plugin);
  }
  EXPECT_LT(host.joint_state("elbow").angle, 0.7);  // it did move the arm
  run(150);
  EXPECT_NEAR(host.joint_state("elbow").angle, 0.8, 0.01);
}

}  // namespace
