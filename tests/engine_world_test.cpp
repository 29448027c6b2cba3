// The fixture's engine world: the handles a plug-in gets are the engine's,
// each step runs in the host's order, and the engine's physics comes out
// where it should.
#include <gtest/gtest.h>
#include <ode/ode.h>

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tamrix_host.hpp"

namespace {

using tamrix_host::CallKind;
using tamrix_host::Engine;
using tamrix_host::EngineBody;
using tamrix_host::EngineGeometry;
using tamrix_host::Host;
using tamrix_host::Plugin;
using tamrix_host::Shape;
using tamrix_host::World;

EngineBody body(const std::string &name, std::array<double, 3> position,
                std::array<double, 3> velocity = {}) {
  EngineBody made;
  made.name = name;
  made.position = position;
  made.velocity = velocity;
  return made;
}

World engine_world(Engine engine) {
  if (engine.geometries.empty()) {
    engine.geometries.push_back(EngineGeometry{.name = "floor"});
  }
  World world;
  world.engine = std::move(engine);
  return world;
}

World one_box(std::array<double, 3> position, std::array<double, 3> velocity = {}) {
  Engine engine;
  engine.bodies = {body("box", position, velocity)};
  return engine_world(engine);
}

class EngineWorld : public ::testing::Test {
 protected:
  explicit EngineWorld(World world = one_box({0, 0, 2})) : host(std::move(world)) {}

  void live(long steps) {
    host.set_up(plugin);
    host.init(plugin);
    for (long step = 0; step < steps; ++step) {
      host.step(plugin);
    }
  }

  Host host;
  Plugin plugin{ENGINE_IDLE_PLUGIN_PATH};
};

TEST_F(EngineWorld, HandlesAreTheEnginesOwnAndNamedAsBefore) {
  auto *box = reinterpret_cast<dBodyID>(host.body("box"));
  auto *geometry = reinterpret_cast<dGeomID>(host.geometry("box"));
  auto *floor = reinterpret_cast<dGeomID>(host.geometry("floor"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(dGeomGetBody(geometry), box);  // both lookups find the same thing
  EXPECT_EQ(dGeomGetBody(floor), nullptr);
  EXPECT_EQ(dBodyGetWorld(box), host.engine_world());
  EXPECT_EQ(dGeomGetSpace(floor), host.engine_space());
  EXPECT_EQ(host.world().bodies, std::vector<std::string>{"box"});
  EXPECT_EQ(host.world().geometries, (std::vector<std::string>{"box", "floor"}));
  EXPECT_EQ(host.name_of(box), "box");
  EXPECT_EQ(host.name_of(floor), "floor");
  EXPECT_EQ(host.name_of(host.contact_group()), "contact group");
  EXPECT_EQ(host.body("floor"), nullptr);

  // The services hand out the same, and the trace names them.
  std::ostringstream trace;
  host.set_trace(&trace);
  const auto services = Host::services();
  EXPECT_EQ(services.body_lookup("box"), host.body("box"));
  EXPECT_EQ(services.geom_lookup("floor"), host.geometry("floor"));
  EXPECT_EQ(services.contact_group(), host.contact_group());
  EXPECT_EQ(trace.str(),
            "dTamrixGetBodyFromDEFProc(\"box\") -> box\n"
            "dTamrixGetGeomFromDEFProc(\"floor\") -> floor\n"
            "dTamrixGetContactJointGroupProc() -> contact group\n");
}

TEST(EngineWorldStep, TheHooksThenCollideForTheEnginesCandidates) {
  // Resting on the floor from the start, so the first step has a pair.
  Host host(one_box({0, 0, 0.5}));
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  host.set_up(plugin);
  host.init(plugin);
  host.step(plugin);
  const std::vector<CallKind> kinds = host.call_kinds();
  ASSERT_EQ(kinds.size(), 4U);
  EXPECT_EQ(kinds[2], CallKind::step);
  EXPECT_EQ(kinds[3], CallKind::collide);
  ASSERT_EQ(host.tallies().size(), 1U);
  EXPECT_EQ(host.tallies()[0].first, "box");  // in the world's order
  EXPECT_EQ(host.tallies()[0].second, "floor");
  EXPECT_EQ(host.collides_last_step(), 1U);
  EXPECT_NEAR(host.body_state("box").position[2], 0.5, 0.001);  // held up by the host's contacts
}

TEST_F(EngineWorld, OneStepFallsAsTheEngineSays) {
  live(1);
  // Semi-implicit Euler over one step of 0.01 s: v = g dt, then z += v dt.
  const auto state = host.body_state("box");
  EXPECT_NEAR(state.velocity[2], -0.0981, 1e-12);
  EXPECT_NEAR(state.position[2], 2 - 0.000981, 1e-12);
  EXPECT_EQ(state.orientation, (std::array<double, 4>{1, 0, 0, 0}));
  EXPECT_EQ(host.collides_last_step(), 0U);  // 1.5 m above the floor: no candidate
}

TEST_F(EngineWorld, TheHostsContactsCatchADroppedBox) {
  live(300);
  EXPECT_NEAR(host.body_state("box").position[2], 0.5, 0.02);
  EXPECT_NEAR(host.body_state("box").velocity[2], 0.0, 0.02);
}

TEST_F(EngineWorld, ANewWorldStartsAgainWithNewHandles) {
  live(50);
  auto *const old_body = host.body("box");
  auto *const old_floor = host.geometry("floor");
  host.new_world();
  EXPECT_NE(host.body("box"), old_body);
  EXPECT_NE(host.geometry("floor"), old_floor);
  EXPECT_EQ(host.body_state("box").position, (std::array<double, 3>{0, 0, 2}));
  EXPECT_EQ(host.name_of(host.body("box")), "box");
}

TEST_F(EngineWorld, AReplacedWorldIsKeptUnsteppedSoAKeptHandleIsNoFreedMemory) {
  live(50);
  auto *const old_body = static_cast<dBodyID>(static_cast<void *>(host.body("box")));
  const dReal old_height = dBodyGetPosition(old_body)[2];
  host.new_world();
  // A plug-in that kept the body pushes a world nobody steps.
  dBodyAddForce(old_body, 0, 0, 5);
  live(10);
  EXPECT_EQ(dBodyGetPosition(old_body)[2], old_height);
  EXPECT_EQ(dBodyGetForce(old_body)[2], 5.0);
  EXPECT_EQ(host.name_of(old_body), "box (earlier world)");
}

TEST_F(EngineWorld, AGeometryAddedToTheSpaceIsCollidedButNotTallied) {
  // A fixed step under the box, with data of its own, as a plug-in may add.
  int own_data = 7;
  dGeomID step = dCreateBox(host.engine_space(), 2, 2, 1);
  dGeomSetPosition(step, 0, 0, 0.5);
  dGeomSetData(step, &own_data);
  live(300);
  EXPECT_NEAR(host.body_state("box").position[2], 1.5, 0.02);  // on the step, not the floor
  EXPECT_TRUE(host.tallies().empty());                         // the box never reached the floor
}

TEST(EngineWorldSurface, FrictionDecidesWhetherAPushedBoxSlides) {
  for (const double friction : {std::numeric_limits<double>::infinity(), 0.0}) {
    World world = one_box({0, 0, 0.5}, {1, 0, 0});
    world.engine->friction = friction;
    Host host(world);
    const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
    host.set_up(plugin);
    host.init(plugin);
    for (int step = 0; step < 200; ++step) {
      host.step(plugin);
    }
    EXPECT_NEAR(host.body_state("box").position[0], std::isinf(friction) ? 0.0 : 2.0, 0.05)
        << "friction " << friction;
  }
}

TEST(EngineWorldSurface, ABouncyFloorThrowsABallBackUp) {
  Engine engine;
  engine.bounce = 0.9;
  engine.bodies = {body("ball", {0, 0, 2})};
  engine.bodies[0].shape = Shape::sphere;
  engine.bodies[0].radius = 0.25;
  Host host(engine_world(engine));
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  host.set_up(plugin);
  host.init(plugin);
  double highest_after_landing = 0.0;
  bool landed = false;
  for (int step = 0; step < 150; ++step) {
    host.step(plugin);
    const double z = host.body_state("ball").position[2];
    landed = landed || z < 0.3;
    highest_after_landing = landed ? std::max(highest_after_landing, z) : 0.0;
  }
  EXPECT_TRUE(landed);
  EXPECT_GT(highest_after_landing, 1.2);
}

TEST(EngineWorldShapes, EveryShapeRestsOnTheFloorAtItsOwnHeight) {
  Engine engine;
  engine.bodies = {body("box", {0, 0, 1}), body("sphere", {3, 0, 1}), body("capsule", {6, 0, 1}),
                   body("cylinder", {9, 0, 1})};
  engine.bodies[1].shape = Shape::sphere;
  engine.bodies[2].shape = Shape::capsule;
  engine.bodies[3].shape = Shape::cylinder;
  engine.bodies[0].size = {1, 1, 0.4};
  engine.geometries = {
      EngineGeometry{.name = "floor"},
      EngineGeometry{
          .name = "table", .shape = Shape::box, .size = {2, 2, 0.2}, .position = {20, 0, 0.1}}};
  Host host(engine_world(engine));
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  host.set_up(plugin);
  host.init(plugin);
  for (int step = 0; step < 200; ++step) {
    host.step(plugin);
  }
  // Upright: half the box's height, a radius, half the length and a radius.
  EXPECT_NEAR(host.body_state("box").position[2], 0.2, 0.02);
  EXPECT_NEAR(host.body_state("sphere").position[2], 0.5, 0.02);
  EXPECT_NEAR(host.body_state("capsule").position[2], 1.0, 0.02);
  EXPECT_NEAR(host.body_state("cylinder").position[2], 0.5, 0.02);
  // The floor and the table never met: two fixed geometries are no pair.
  for (const auto &tally : host.tallies()) {
    EXPECT_FALSE(tally.first == "floor" || tally.first == "table") << tally.first;
  }
}

TEST(EngineWorldRefusals, AWorldIsEitherTheEnginesOrNamesOnly) {
  World both = one_box({0, 0, 2});
  both.bodies = {"arm"};
  EXPECT_THROW(Host bad(both), std::invalid_argument);
  World pairs = one_box({0, 0, 2});
  pairs.collide_pairs.emplace();
  EXPECT_THROW(Host bad(pairs), std::invalid_argument);
  World twice = one_box({0, 0, 2});
  twice.engine->geometries[0].name = "box";
  EXPECT_THROW(Host bad(twice), std::invalid_argument);
  World flat = one_box({0, 0, 2});
  flat.engine->bodies[0].size[2] = 0;
  EXPECT_THROW(Host bad(flat), std::invalid_argument);  // not the engine's abort
  // The refusals leave no Host behind.
  {
    const Host host(one_box({0, 0, 2}));
    EXPECT_THROW((void)host.body_state("floor"), std::invalid_argument);
  }
  EXPECT_EQ(Host().engine_world(), nullptr);
}

// What plugin-check steps after an unload: the host's own contacts and step,
// with nothing recorded and no step counted.
TEST(EngineWorldStep, WithNoPluginTheHostStepsItsWorldAlone) {
  {
    Host host(one_box({0, 0, 0.5}));
    for (int step = 0; step < 10; ++step) {
      host.step_without_plugin();
    }
    EXPECT_NEAR(host.body_state("box").position[2], 0.5, 0.01);  // on the host's contacts
    EXPECT_EQ(host.call_count(), 0U);
    EXPECT_EQ(host.steps_completed(), 0);
  }
  Host plain;
  EXPECT_THROW(plain.step_without_plugin(), std::invalid_argument);
}

}  // namespace
