// host-sim as a user meets it, and the host services it gives plug-ins.
#include <algorithm>
#include <sstream>

#include "plugin_fixture.hpp"

namespace {

struct SimRun {
  int status;
  std::string out;
  std::string err;
};

SimRun host_sim(const std::vector<std::string> &args) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = tamrix_host::host_sim(args, MY_PHYSICS1_PATH, out, err);
  return {status, out.str(), err.str()};
}

TEST(HostSim, DefaultWorldSaysNotFoundAndNoCollisions) {
  const SimRun run = host_sim({});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "[plugin console] not found\n"
            "summary: 10 steps, 30 collide calls, 0 non-zero, 1 console messages\n");
  EXPECT_EQ(run.err, "");
}

TEST(HostSim, WorldOptionsReplaceTheDefaults) {
  const SimRun run = host_sim({"--body", "body1", "--geom", "a", "--geom", "b", "--steps", "4",
                               "--lookup", "arm", "--lookup", "body1", MY_PHYSICS1_PATH});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "[plugin console] Warning: did not find body with DEF name: arm\n"
            "lookup arm: null\n"
            "lookup body1: found\n"
            "summary: 4 steps, 4 collide calls, 0 non-zero, 1 console messages\n");
}

TEST(HostSim, LoadFailuresAreOneLineAndStatusOne) {
  const SimRun missing = host_sim({"/no/such.so"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err.rfind("host-sim: cannot load /no/such.so: ", 0), 0U) << missing.err;
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1);

  const SimRun no_exports = host_sim({EMPTY_LIBRARY_PATH});
  EXPECT_EQ(no_exports.status, 1);
  EXPECT_EQ(no_exports.err, std::string("host-sim: ") + EMPTY_LIBRARY_PATH +
                                ": missing export physics_special_init\n");
}

TEST(HostSim, BadOptionsGetTheUsageLineAndStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {{"--frobnicate"},
                                                     {"--steps"},
                                                     {"--steps", "ten"},
                                                     {"--steps", "-1"},
                                                     {"--steps", ""},
                                                     {"--steps", "5x"},
                                                     {"--steps", "99999999999999999999"},
                                                     {"--body"},
                                                     {"a.so", "b.so"}};
  for (const auto &args : bad) {
    const SimRun run = host_sim(args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("host-sim: ", 0), 0U) << run.err;
    EXPECT_NE(run.err.find("; usage: host-sim "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

TEST(HostSim, HelpPrintsUsage) {
  const SimRun run = host_sim({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("usage: host-sim ", 0), 0U);
}

TEST(HostServices, WorkOverTheWorld) {
  tamrix_host::Host host({{"arm"}, {"floor"}});
  const auto services = tamrix_host::Host::services();
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
  services.send(1, "ab", 2);
  services.send(1, "cde", 3);
  services.send(2, "z", 1);
  const void *data = services.receive(1, &size);
  EXPECT_EQ(std::string(static_cast<const char *>(data), size), "ab");
  data = services.receive(1, &size);
  EXPECT_EQ(std::string(static_cast<const char *>(data), size), "cde");
  EXPECT_EQ(services.receive(1, &size), nullptr);

  services.console_printf("%d %s", 7, "x");
  ASSERT_EQ(host.console().size(), 1U);
  EXPECT_EQ(host.console()[0].format, "%d %s");
  EXPECT_EQ(host.console()[0].text, "7 x");

  EXPECT_THROW(tamrix_host::Host second({}), std::logic_error);
}

}  // namespace
