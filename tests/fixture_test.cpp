// The host fixture as an author's test meets it: its services, the record of
// every call, the handles and the world a test sets up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tamrix_host.hpp"

namespace {

using tamrix_host::CallKind;
using tamrix_host::Host;
using tamrix_host::Message;
using tamrix_host::World;

TEST(HostServices, AnswerOverTheWorldAndRecordEveryCall) {
  World world({"arm"}, {"floor"});
  world.step_seconds = 0.5;
  Host host(world);
  const auto services = Host::services();
  EXPECT_EQ(services.geom_lookup("floor"), host.geometry("floor"));
  EXPECT_EQ(services.geom_lookup("arm"), nullptr);
  EXPECT_EQ(services.body_lookup("arm"), host.body("arm"));
  EXPECT_EQ(services.body_lookup(nullptr), nullptr);
  EXPECT_NE(services.contact_group(), nullptr);
  EXPECT_EQ(services.contact_group(), host.contact_group());
  EXPECT_EQ(services.time(), 0.0);
  host.advance_time(0.5);
  EXPECT_EQ(services.time(), 0.5);

  std::size_t size = 99;
  EXPECT_EQ(services.receive(1, &size), nullptr);
  EXPECT_EQ(size, 0U);
  host.queue_message(1, "ab");
  host.queue_message(1, "cde");
  services.send(1, "xyz", 3);  // recorded, never received
  services.send(2, nullptr, 5);
  const void *data = services.receive(1, &size);
  EXPECT_EQ(std::string(static_cast<const char *>(data), size), "ab");
  data = services.receive(1, &size);
  EXPECT_EQ(std::string(static_cast<const char *>(data), size), "cde");
  EXPECT_EQ(services.receive(1, nullptr), nullptr);  // a null size is not written through
  services.console_printf("%d %s", 7, "x");

  EXPECT_EQ(host.trace(), (std::vector<std::string>{
                              "dTamrixGetGeomFromDEFProc(\"floor\") -> floor",
                              "dTamrixGetGeomFromDEFProc(\"arm\") -> null",
                              "dTamrixGetBodyFromDEFProc(\"arm\") -> arm",
                              "dTamrixGetBodyFromDEFProc(NULL) -> null",
                              "dTamrixGetContactJointGroupProc() -> contact group",
                              "dTamrixGetContactJointGroupProc() -> contact group",
                              "dTamrixGetTimeProc() -> 0",
                              "dTamrixGetTimeProc() -> 0.5",
                              "dTamrixReceiveProc(1) -> null, 0",
                              "dTamrixSendProc(1, \"xyz\", 3)",
                              "dTamrixSendProc(2, \"\", 5)",
                              "dTamrixReceiveProc(1) -> \"ab\", 2",
                              "dTamrixReceiveProc(1) -> \"cde\", 3",
                              "dTamrixReceiveProc(1) -> null, 0",
                              "dTamrixConsolePrintfProc(\"%d %s\", ...) prints \"7 x\"",
                          }));
  EXPECT_EQ(host.sends(), (std::vector<Message>{{1, {'x', 'y', 'z'}}, {2, {}}}));
  EXPECT_EQ(host.receives(),
            (std::vector<Message>{{1, {}}, {1, {'a', 'b'}}, {1, {'c', 'd', 'e'}}, {1, {}}}));
  EXPECT_EQ(host.time_reads(), (std::vector<double>{0.0, 0.5}));
  ASSERT_EQ(host.console().size(), 1U);
  EXPECT_EQ(host.console()[0].format, "%d %s");
  EXPECT_EQ(host.console()[0].text, "7 x");
  ASSERT_EQ(host.geom_lookups().size(), 2U);
  EXPECT_TRUE(host.geom_lookups()[0].found);
  EXPECT_FALSE(host.geom_lookups()[1].found);
  EXPECT_EQ(host.body_lookups().at(1).name, "(null)");

  EXPECT_THROW(Host second(World{}), std::logic_error);
}

TEST(HostServices, QuoteWhatIsNotPlainText) {
  Host host(World{});
  Host::services().send(3, "a\"b\\c\n\x01", 7);
  EXPECT_EQ(host.trace().at(0), "dTamrixSendProc(3, \"a\\\"b\\\\c\\x0a\\x01\", 7)");
}

TEST(HostWorld, RefusesAPairOfUnknownGeometriesAndLeavesNoHostBehind) {
  World world({}, {"floor"});
  world.collide_pairs = std::vector<tamrix_host::GeometryPair>{{"floor", "ghost"}};
  EXPECT_THROW(Host bad(world), std::invalid_argument);
  EXPECT_NO_THROW(Host good(World{}));
}

TEST(HostWorld, HandlesAreDistinctAndNamedAndANewWorldReplacesThem) {
  Host host;
  auto *const arm = host.body("arm");
  auto *const floor = host.geometry("floor");
  const std::vector<const void *> handles = {arm, host.body("base"), host.geometry("arm"), floor,
                                             host.contact_group()};
  for (std::size_t i = 0; i < handles.size(); ++i) {
    for (std::size_t j = i + 1; j < handles.size(); ++j) {
      EXPECT_NE(handles[i], handles[j]) << i << ", " << j;
    }
  }
  EXPECT_EQ(host.name_of(arm), "arm");
  EXPECT_EQ(host.name_of(floor), "floor");
  EXPECT_EQ(host.name_of(nullptr), "null");
  EXPECT_EQ(host.body("ghost"), nullptr);

  host.new_world();
  EXPECT_NE(host.body("arm"), nullptr);
  EXPECT_NE(host.body("arm"), arm);
  EXPECT_NE(host.geometry("floor"), floor);
  EXPECT_EQ(Host::services().body_lookup("arm"), host.body("arm"));
  EXPECT_EQ(host.name_of(host.body("arm")), "arm");
  EXPECT_EQ(host.name_of(arm), "arm (earlier world)");
  int local = 0;
  EXPECT_NE(host.name_of(&local).find("0x"), std::string::npos);
}

// A host that loads the next simulation: the old handles keep their old
// names, though the new world puts other names at their places.
TEST(HostWorld, AnotherWorldFindsItsNamesAndTheOldHandlesKeepTheirs) {
  Host host(World({"arm", "base"}, {"floor", "arm"}));
  auto *const floor = host.geometry("floor");
  host.new_world(World({"body1", "arm", "base"}, {"tip", "floor", "arm"}));
  EXPECT_EQ(host.name_of(host.body("body1")), "body1");
  EXPECT_EQ(Host::services().geom_lookup("tip"), host.geometry("tip"));
  EXPECT_EQ(host.name_of(floor), "floor (earlier world)");
  EXPECT_EQ(host.pairs_per_step(), 3U);
  World refused({"a"}, {"b"});
  refused.collide_pairs = std::vector<tamrix_host::GeometryPair>{{"b", "c"}};
  EXPECT_THROW(host.new_world(refused), std::invalid_argument);
  EXPECT_EQ(host.name_of(host.body("body1")), "body1");  // a world refused changes nothing
}

// Reading through a handle is what the no-access pages are for: it must fault
// in the plug-in's own call, never read host data.
TEST(HostWorldDeathTest, ReadingOrWritingThroughAHandleFaults) {
  EXPECT_DEATH(
      {
        Host host;
        std::printf("%d", *reinterpret_cast<volatile const char *>(host.body("arm")));
      },
      "");
  EXPECT_DEATH(
      {
        Host host;
        *reinterpret_cast<volatile char *>(host.geometry("floor")) = 1;
      },
      "");
}

TEST(HostServicesDeathTest, ACallWithNoHostSaysSoInsteadOfCrashing) {
  const auto services = Host::services();
  EXPECT_DEATH(services.body_lookup("arm"),
               "dTamrixGetBodyFromDEFProc while no tamrix_host::Host exists");
  EXPECT_DEATH(services.console_printf("x"), "dTamrixConsolePrintfProc while no");
}

// A received buffer is lent, not given: reading past its end, writing into
// it, reading it after the next receive or freeing it must fail at once in
// the plug-in's call, where a heap buffer would let each pass unseen.
TEST(HostServicesDeathTest, AReceivedBufferFaultsPastItsEndAfterTheNextReceiveAndInFree) {
  const auto services = Host::services();
  const auto lent = [&services](Host &host, std::string_view bytes) {
    host.queue_message(1, bytes);
    std::size_t size = 0;
    const auto *data = static_cast<volatile const char *>(services.receive(1, &size));
    EXPECT_EQ(size, bytes.size());
    return data;
  };
  EXPECT_DEATH(
      {
        Host host;
        std::printf("%d", lent(host, "ab")[2]);
      },
      "");
  EXPECT_DEATH(
      {
        Host host;
        const_cast<volatile char *>(lent(host, "ab"))[0] = 'x';
      },
      "");
  EXPECT_DEATH(
      {
        Host host;
        volatile const char *data = lent(host, "ab");
        services.receive(1, nullptr);
        std::printf("%d", data[0]);
      },
      "");
#ifndef _WIN32
  // A C runtime's free() of memory that is no heap's may return quietly
  // (wine's does); the C library's aborts.
  EXPECT_DEATH(
      {
        Host host;
        std::free(const_cast<char *>(lent(host, "ab")));
      },
      "");
#endif
  // An empty message is still a message: an address, and no byte to read.
  Host host;
  std::size_t size = 9;
  host.queue_message(1, "");
  EXPECT_NE(services.receive(1, &size), nullptr);
  EXPECT_EQ(size, 0U);
  const std::string text(std::size_t{64} * 1024, 'z');
  const auto *data = const_cast<const char *>(lent(host, text));
  EXPECT_EQ(std::string_view(data, text.size()), text);
  // What a fault there did, for a crash report to name.
  EXPECT_STREQ(host.lent_at(data + text.size()),
               "read past the end of the message the last receive lent");
  EXPECT_EQ(host.lent_at(&size), nullptr);
  services.receive(1, nullptr);
  EXPECT_STREQ(host.lent_at(data),
               "read a message an earlier receive had lent, after the next receive had ended "
               "that loan");
}

}  // namespace

namespace {

// A whole life of the example plug-in, which receives, sends and reads the
// time, driven by the fixture as an author's test would.
class FixtureLife : public ::testing::Test {
 protected:
  static World world() {
    World world({"arm"}, {"floor", "arm", "wheel"});
    world.step_seconds = 0.25;
    world.collide_pairs = std::vector<tamrix_host::GeometryPair>{
        {"arm", "floor"}, {"arm", "wheel"}, {"arm", "floor"}};
    world.messages = {
        {1, 2, {'p', 'i', 'n', 'g'}}, {1, 3, {'p', 'i', 'n', 'g'}}, {1, 9, {'p', 'i', 'n', 'g'}}};
    return world;
  }

  void life(long steps) {
    host.set_up(plugin);
    host.init(plugin);
    for (long step = 0; step < steps; ++step) {
      host.step(plugin);
    }
    host.cleanup(plugin);
  }

  Host host{world()};
  tamrix_host::Plugin plugin{CONTACT_PLUGIN_PATH};
};

TEST_F(FixtureLife, MessagesArriveBeforeTheirStepAndTimeCountsStepsCompleted) {
  life(3);
  // Step 1 found nothing; steps 2 and 3 each found their ping; step 9 never ran.
  EXPECT_EQ(host.receives(),
            (std::vector<Message>{
                {1, {}}, {1, {'p', 'i', 'n', 'g'}}, {1, {}}, {1, {'p', 'i', 'n', 'g'}}, {1, {}}}));
  EXPECT_EQ(host.sends().size(), 2U);
  EXPECT_EQ(host.time_reads(), std::vector<double>{0.75});
  EXPECT_EQ(host.steps_completed(), 3);

  // A new life starts its steps and time again.
  life(1);
  EXPECT_EQ(host.time_reads(), (std::vector<double>{0.75, 0.25}));
  EXPECT_EQ(host.console().back().text, "steps: 1, time: 0.25");

  // A host up for 200 days: its time starts there, and still counts steps.
  host.start_time_at(17280000);
  life(2);
  EXPECT_EQ(host.time_reads().back(), 17280000.5);
}

TEST_F(FixtureLife, CollidesThePairsInTheWorldsOrderAndTalliesEach) {
  life(2);
  std::vector<std::string> calls;
  for (const auto &collide : host.collides()) {
    calls.push_back(collide.first + "/" + collide.second + "=" + std::to_string(collide.answer));
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"arm/floor=1", "arm/wheel=0", "arm/floor=1",
                                             "arm/floor=1", "arm/wheel=0", "arm/floor=1"}));
  const auto tallies = host.tallies();
  ASSERT_EQ(tallies.size(), 3U);
  EXPECT_EQ(tallies[1].second, "wheel");
  EXPECT_EQ(tallies[1].calls, 2);
  EXPECT_EQ(tallies[1].answers, (std::map<int, long>{{0, 2}}));
}

TEST_F(FixtureLife, LeavingStepsOutOfTheRecordKeepsTalliesServicesAndTheTrace) {
  std::ostringstream trace;
  host.set_trace(&trace);
  host.record_steps(false);
  life(2);
  const std::vector<CallKind> kinds = host.call_kinds();
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), CallKind::step), 0);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), CallKind::collide), 0);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), CallKind::receive), 3);
  EXPECT_EQ(host.tallies()[0].calls, 2);  // one per step, for each entry of the pair list
  EXPECT_EQ(host.tallies()[2].calls, 2);
  EXPECT_NE(trace.str().find("tamrix_physics_step()\n"
                             "  dTamrixReceiveProc(1) -> \"ping\", 4\n"
                             "  dTamrixSendProc(2, \"pong\", 4)\n"
                             "  dTamrixReceiveProc(1) -> null, 0\n"
                             "tamrix_physics_collide(arm, floor) -> 1\n"),
            std::string::npos)
      << trace.str();
}

}  // namespace
