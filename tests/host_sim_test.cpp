// host-sim as a user meets it, and the host services it gives plug-ins.
#include <algorithm>
#include <sstream>

#include "host_sim.hpp"
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

}  // namespace
