// The fixture's engine world: the handles a plug-in gets are the engine's,
// each step runs in the host's order, and the engine's physics comes out
// where it should.
#include <gtest/gtest.h>
#include <ode/ode.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tamrix_host.hpp"

namespace {

using tamrix_host::CallKind;
using tamrix_host::Engine;
using tamrix_host::EngineBody;
using tamrix_host::EngineGeometry;
using tamrix_host::EngineJoint;
using tamrix_host::EnginePart;
using tamrix_host::Host;
using tamrix_host::JointType;
using tamrix_host::Plugin;
using tamrix_host::Shape;
using tamrix_host::Solver;
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

TEST_F(EngineWorld, AnotherWorldIsBuiltAndAReplacedOnesHandlesKeepTheirNames) {
  auto *const old_floor = host.geometry("floor");
  Engine more;
  more.bodies = {body("body1", {3, 0, 1}), body("box", {0, 0, 2})};
  host.new_world(engine_world(more));
  EXPECT_EQ(host.body_state("body1").position, (std::array<double, 3>{3, 0, 1}));
  EXPECT_EQ(host.name_of(host.geometry("box")), "box");
  // Where the old floor stood among the handles, the new world has another.
  EXPECT_EQ(host.name_of(old_floor), "floor (earlier world)");
  live(100);
  EXPECT_NEAR(host.body_state("body1").position[2], 0.5, 0.02);
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

// ---- Robots: orientation, joints, bodies of several geometries, meshes

// A 1 kg bar 1 m long along x, hinged at one end to the world about y.
World hinged_arm(double pivot_height, std::optional<tamrix_host::JointMotor> motor = {}) {
  Engine engine;
  EngineBody arm = body("arm", {0.5, 0, pivot_height});
  arm.size = {1, 0.1, 0.1};
  engine.bodies = {arm};
  EngineJoint shoulder;
  shoulder.name = "shoulder";
  shoulder.first = "arm";
  shoulder.anchor = {0, 0, pivot_height};
  shoulder.axis = {0, 1, 0};
  shoulder.motor = motor;
  engine.joints = {shoulder};
  World world;
  world.engine = engine;  // no floor: nothing to swing into
  return world;
}

void run(Host &host, const Plugin &plugin, int steps) {
  host.set_up(plugin);
  host.init(plugin);
  for (int step = 0; step < steps; ++step) {
    host.step(plugin);
  }
}

TEST(EngineWorldJoints, AMotorisedHingeTurnsAtItsSpeedAgainstGravity) {
  Host host(hinged_arm(1, tamrix_host::JointMotor{.velocity = 0.5, .max_force = 100}));
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  run(host, plugin, 100);
  const tamrix_host::JointState shoulder = host.joint_state("shoulder");
  EXPECT_NEAR(shoulder.angle, 0.5, 0.01);
  EXPECT_NEAR(shoulder.rate, 0.5, 0.01);
  EXPECT_NEAR(shoulder.anchor[2], 1.0, 1e-3);
  // The handle is the engine's own joint, joining the arm to the world.
  dJointID joint = host.joint("shoulder");
  ASSERT_NE(joint, nullptr);
  EXPECT_EQ(dJointGetType(joint), dJointTypeHinge);
  EXPECT_EQ(dJointGetBody(joint, 0), reinterpret_cast<dBodyID>(host.body("arm")));
  EXPECT_EQ(host.joint("arm"), nullptr);
  EXPECT_THROW((void)host.joint_state("arm"), std::invalid_argument);
  // Turned about y by the angle: the far end is below the pivot.
  const auto rpy = tamrix_host::rpy_of_quaternion(host.body_state("arm").orientation);
  EXPECT_NEAR(rpy[1], 0.5, 0.01);
  EXPECT_NEAR(host.body_state("arm").angular_velocity[1], 0.5, 0.01);
}

TEST(EngineWorldJoints, AFreeHingeSwingsAsTheEngineAloneComputesIt) {
  Host host(hinged_arm(2));
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  host.set_up(plugin);
  host.init(plugin);
  // The same pendulum, built on the engine directly.
  dWorldID world = dWorldCreate();
  dWorldSetGravity(world, 0, 0, -9.81);
  dBodyID arm = dBodyCreate(world);
  dMass mass;
  dMassSetBoxTotal(&mass, 1, 1, 0.1, 0.1);
  dBodySetMass(arm, &mass);
  dBodySetPosition(arm, 0.5, 0, 2);
  dJointID hinge = dJointCreateHinge(world, nullptr);
  dJointAttach(hinge, arm, nullptr);
  dJointSetHingeAnchor(hinge, 0, 0, 2);
  dJointSetHingeAxis(hinge, 0, 1, 0);
  double lowest = 0.0;
  for (int step = 1; step <= 150; ++step) {
    host.step(plugin);
    dWorldStep(world, 0.01);
    ASSERT_NEAR(host.joint_state("shoulder").angle, dJointGetHingeAngle(hinge), 1e-12) << step;
    lowest = std::max(lowest, host.joint_state("shoulder").angle);
  }
  EXPECT_GT(lowest, 1.5);  // it swung down through the vertical
  dWorldDestroy(world);
}

TEST(EngineWorldJoints, ASliderStopsAtItsLimitAndAUniversalReadsBothAngles) {
  Engine engine;
  engine.gravity = {0, 0, -9.81};
  engine.bodies = {body("lift", {0, 0, 3}), body("head", {5, 0, 3})};
  EngineJoint slider{.name = "rail", .type = JointType::slider, .first = "lift"};
  slider.axis = {0, 0, 1};
  slider.limits = std::array<double, 2>{-0.5, 0.5};
  EngineJoint neck{.name = "neck", .type = JointType::universal, .first = "head"};
  neck.anchor = {5, 0, 4};
  neck.axis = {1, 0, 0};
  neck.axis2 = {0, 1, 0};
  engine.joints = {slider, neck};
  World world;
  world.engine = engine;
  Host host(world);
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  run(host, plugin, 100);
  EXPECT_NEAR(host.joint_state("rail").position, -0.5, 0.01);
  EXPECT_NEAR(host.body_state("lift").position[2], 2.5, 0.01);
  // Hanging straight down from its anchor, it has not turned.
  EXPECT_NEAR(host.joint_state("neck").angle, 0.0, 1e-6);
  EXPECT_NEAR(host.joint_state("neck").angle2, 0.0, 1e-6);
}

TEST(EngineWorldJoints, TwoJoinedBodiesThatOverlapGetNoContactsOfTheHosts) {
  Engine engine;
  engine.gravity = {0, 0, 0};
  engine.bodies = {body("upper", {0, 0, 5}), body("lower", {0, 0, 4.6})};  // 0.4 m into it
  EngineJoint knee{.name = "knee", .type = JointType::ball, .first = "lower", .second = "upper"};
  knee.anchor = {0, 0, 4.8};
  engine.joints = {knee};
  World world;
  world.engine = engine;
  Host host(world);
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  run(host, plugin, 20);
  EXPECT_EQ(host.collides_last_step(), 1U);                      // still the plug-in's to answer
  EXPECT_NEAR(host.body_state("lower").position[2], 4.6, 1e-9);  // never pushed apart
}

TEST(EngineWorldBodies, OrientationAndSpinStartWhereTheWorldSays) {
  Engine engine;
  engine.gravity = {0, 0, 0};
  engine.bodies = {body("top", {0, 0, 0})};
  engine.bodies[0].orientation = tamrix_host::quaternion_of_rpy({0, 0, 1.5});
  engine.bodies[0].angular_velocity = {0, 0, 1};
  engine.bodies[0].size = {1, 1, 1};  // a cube spins about any axis without wobbling
  World world;
  world.engine = engine;
  World crooked = world;
  crooked.engine->bodies[0].orientation = {1, 1, 0, 0};
  EXPECT_THROW(Host bad(crooked), std::invalid_argument);
  Host host(world);
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  run(host, plugin, 100);
  const auto rpy = tamrix_host::rpy_of_quaternion(host.body_state("top").orientation);
  EXPECT_NEAR(rpy[2], 2.5, 1e-4);  // 1.5 rad, then 1 rad/s for 1 s
  EXPECT_NEAR(tamrix_host::angle_between(host.body_state("top").orientation,
                                         tamrix_host::quaternion_of_rpy({0, 0, 2.5})),
              0.0, 1e-4);
  EXPECT_NEAR(tamrix_host::angle_between(tamrix_host::quaternion_of_rpy({0.3, -0.2, 0.1}),
                                         tamrix_host::quaternion_of_rpy({0.3, -0.2, 0.2})),
              0.1, 1e-9);
}

TEST(EngineWorldBodies, APartsGeometriesMoveWithItsBodyAndShareItsMass) {
  Engine engine;
  engine.gravity = {0, 0, 0};
  EngineBody hammer = body("handle", {0, 0, 5}, {1, 0, 0});
  hammer.parts = {EnginePart{.name = "head", .offset = {2, 0, 0}}};  // a second 1 m cube
  engine.bodies = {hammer};
  World world;
  world.engine = engine;
  Host host(world);
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  EXPECT_EQ(host.world().geometries, (std::vector<std::string>{"handle", "head"}));
  auto *const head = reinterpret_cast<dGeomID>(host.geometry("head"));
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(dGeomGetBody(head), reinterpret_cast<dBodyID>(host.body("handle")));
  dMass mass;
  dBodyGetMass(reinterpret_cast<dBodyID>(host.body("handle")), &mass);
  EXPECT_DOUBLE_EQ(mass.mass, 1.0);
  // The body reads where its centre of mass is, half-way between the cubes.
  EXPECT_NEAR(host.body_state("handle").position[0], 1.0, 1e-12);
  run(host, plugin, 100);
  EXPECT_NEAR(dGeomGetPosition(head)[0], 3.0, 1e-9);
}

TEST(EngineWorldGeometries, AMeshHoldsUpABoxAndIsFoundByName) {
  Engine engine;
  engine.bodies = {body("box", {0, 0, 2})};
  EngineGeometry ground{.name = "ground", .shape = Shape::mesh};
  ground.vertices = {{-5, -5, 0}, {5, -5, 0}, {5, 5, 0}, {-5, 5, 0}};
  ground.triangles = {{0, 1, 2}, {0, 2, 3}};
  engine.geometries = {ground};
  Host host(engine_world(engine));
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  ASSERT_NE(host.geometry("ground"), nullptr);
  EXPECT_EQ(dGeomGetClass(reinterpret_cast<dGeomID>(host.geometry("ground"))), dTriMeshClass);
  run(host, plugin, 300);
  EXPECT_NEAR(host.body_state("box").position[2], 0.5, 0.02);
}

TEST(EngineWorldSolver, AThousandBoxesRestOnTheFloorWithTheQuickSolver) {
  Engine engine;
  engine.solver = Solver::quick;
  engine.iterations = 20;
  for (int i = 0; i < 1000; ++i) {
    const int row = i / 40;  // a grid of whole rows, 1.5 m apart
    engine.bodies.push_back(body("box" + std::to_string(i), {1.5 * (i % 40), 1.5 * row, 0.6}));
  }
  Host host(engine_world(engine));
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  run(host, plugin, 50);
  EXPECT_EQ(host.collides_last_step(), 1000U);
  for (const std::string name : {"box0", "box999"}) {
    EXPECT_NEAR(host.body_state(name).position[2], 0.5, 0.02) << name;
  }
}

TEST(EngineWorldRefusals, JointsAndMeshesTheEngineCannotMake) {
  const auto refused = [](const std::function<void(Engine &)> &spoil) {
    World world = hinged_arm(1);
    spoil(*world.engine);
    EXPECT_THROW(Host bad(world), std::invalid_argument);
  };
  refused([](Engine &e) { e.joints[0].first = "ghost"; });
  refused([](Engine &e) { e.joints[0].second = "arm"; });  // the arm to itself
  refused([](Engine &e) { e.joints[0].axis = {0, 0, 0}; });
  refused([](Engine &e) { e.joints[0].limits = std::array<double, 2>{1, -1}; });
  refused([](Engine &e) {
    e.joints[0].type = JointType::ball;
    e.joints[0].motor = tamrix_host::JointMotor{.velocity = 1, .max_force = 1};
  });
  refused([](Engine &e) {
    e.joints[0].type = JointType::universal;
    e.joints[0].axis2 = {0, 2, 0};
  });
  refused([](Engine &e) { e.joints.push_back(e.joints[0]); });  // named twice
  refused([](Engine &e) {
    e.geometries = {EngineGeometry{
        .name = "ground", .shape = Shape::mesh, .vertices = {{0, 0, 0}}, .triangles = {{0, 0, 1}}}};
  });
  refused([](Engine &e) {
    e.solver = Solver::quick;
    e.iterations = 0;
  });
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
