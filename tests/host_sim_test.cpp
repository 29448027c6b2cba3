// host-sim as a user meets it, and the host services it gives plug-ins.
#include <algorithm>
#include <filesystem>
#include <fstream>
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

  // Looked at before loading: a directory, FIFO or device is never handed over.
  const std::string folder = std::filesystem::temp_directory_path().string();
  const SimRun directory = host_sim({folder});
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(directory.err,
            "host-sim: cannot load " + folder + ": it is a directory, not a shared library\n");

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

TEST(HostSim, HelpDescribesEveryOptionAndVersionNamesTheProgram) {
  const SimRun help = host_sim({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char *option : {"--world FILE", "--body NAME", "--geom NAME", "--steps N",
                             "--lookup NAME", "--trace", "--version", "--help", "Exit status"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option << "\n" << help.out;
  }
  const SimRun version = host_sim({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("host-sim ", 0), 0U) << version.out;
  EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1);
}

}  // namespace

namespace {

// A world file in the test's scratch folder, removed with it.
class WorldFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string &text) {
    std::ofstream(path_, std::ios::binary) << text;  // the same lines and columns everywhere
    return path_.string();
  }
  ~WorldFileTest() override { std::filesystem::remove(path_); }

 private:
  std::filesystem::path path_ =
      std::filesystem::temp_directory_path() /
      (std::string("host_sim_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
       ".toml");
};

constexpr const char *good_world = R"(steps = 3
bodies = ["body1"]
geometries = ["floor", "arm", "wheel"]
lookups = ["ghost"]
collide = [["arm", "floor"]]

[expect]
console = ["Warning: did not find body with DEF name: ghost"]
sent = []

[[expect.collide]]
pair = ["arm", "floor"]
answer = 0
)";

TEST_F(WorldFileTest, SetsUpTheRunAndMeetsItsExpectations) {
  const SimRun run = host_sim({"--world", write(good_world), MY_PHYSICS1_PATH});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "[plugin console] Warning: did not find body with DEF name: ghost\n"
            "lookup ghost: null\n"
            "summary: 3 steps, 3 collide calls, 0 non-zero, 1 console messages\n"
            "expectations: all met\n");
}

TEST_F(WorldFileTest, TheCommandLineOverridesTheFile) {
  const SimRun run = host_sim({"--world", write(good_world), "--steps", "1", "--body", "arm",
                               "--lookup", "arm", MY_PHYSICS1_PATH});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("summary: 1 steps, 1 collide calls"), std::string::npos) << run.out;
  EXPECT_EQ(run.err,
            "host-sim: expect.console[1]: expected \"Warning: did not find body with DEF name: "
            "ghost\", got \"not found\"\n");
}

TEST_F(WorldFileTest, EachUnmetExpectationSaysWhatWasExpectedAndWhatHappened) {
  const SimRun run = host_sim({"--world", write(R"(steps = 2
lookups = ["ghost"]
[expect]
console = ["not found"]
sent = [{ channel = 2, bytes = [112, 111] }]
collide = [{ pair = ["arm", "base"], answer = 1 }, { pair = ["base", "arm"], answer = 0 }]
)"),
                               MY_PHYSICS1_PATH});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "host-sim: expect.console[2]: expected nothing more, got \"Warning: did not find body "
            "with DEF name: ghost\"\n"
            "host-sim: expect.sent[1]: expected channel 2 \"po\", got nothing\n"
            "host-sim: expect.collide[1] (arm, base): expected 1 from every call, got 0 in 2 of 2 "
            "calls\n"
            "host-sim: expect.collide[2] (base, arm): expected 0 from every call, got no call for "
            "this pair\n");
  EXPECT_NE(run.out.find("expectations: not met"), std::string::npos);
}

// Every refusal names the file, the line and column, and the key; the plug-in
// is never loaded, so a missing one does not matter.
TEST_F(WorldFileTest, ABrokenFileIsNamedWithItsPlaceAndStatusTwo) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"steps = 5\nstep_second = 0.1\n", ":2:1: unknown key 'step_second'"},
      {"steps = \"5\"\n", ":1:9: 'steps' must be a whole number from 0 to 1000000000, not string"},
      {"steps = -1\n", ":1:9: 'steps' must be a whole number"},
      {"step_seconds = \"fast\"\n", ":1:16: 'step_seconds' must be a number of seconds"},
      {"bodies = [\"a\", 3]\n", ":1:16: 'bodies[2]' must be a string, not integer"},
      {"collide = [[\"arm\"]]\n", ":1:12: 'collide[1]' must name two geometries"},
      {"collide = [[\"arm\", \"moon\"]]\n", ":1:12: 'collide[1]' names 'moon', which is not"},
      {"[[message]]\nchannel = 1\nstep = 0\ntext = \"x\"\n",
       ":3:8: 'message[1].step' must be a whole number from 1"},
      {"[[message]]\nchannel = 1\nstep = 1\n",
       "'message[1]' needs exactly one of 'text' and 'bytes'"},
      {"[[message]]\nchannel = 1\nstep = 1\nbytes = [300]\n",
       ":4:10: 'message[1].bytes[1]' must be a whole number from 0 to 255"},
      {"[[message]]\nchanel = 1\n", ":2:1: unknown key 'message[1].chanel'"},
      {"[expect]\nconsole = \"not found\"\n",
       ":2:11: 'expect.console' must be an array of strings, not string"},
      {"[expect]\nsent = [{ text = \"x\" }]\n", "'expect.sent[1]' needs a 'channel'"},
      {"[[expect.collide]]\npair = [\"a\", \"b\"]\nanswr = 1\n",
       ":3:1: unknown key 'expect.collide[1].answr'"},
      {"steps = [5\n", ":1:12: not valid TOML: "},
      {"steps = 5\nsteps = 6\n", ":2:9: not valid TOML: "},
  };
  for (const auto &[text, reason] : cases) {
    const std::string path = write(text);
    const SimRun run = host_sim({"--world", path, "/no/such/plugin.so"});
    EXPECT_EQ(run.status, 2) << text;
    EXPECT_EQ(run.out, "") << text;
    EXPECT_EQ(run.err.rfind("host-sim: " + path + ":", 0), 0U) << run.err;
    EXPECT_NE(run.err.find(reason), std::string::npos) << text << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

TEST(HostSimWorldFile, AFileThatCannotBeReadIsStatusTwo) {
  for (const std::string &path :
       {std::string("/no/such/world.toml"), std::filesystem::temp_directory_path().string()}) {
    const SimRun run = host_sim({"--world", path});
    EXPECT_EQ(run.status, 2) << path;
    EXPECT_EQ(run.err.rfind("host-sim: ", 0), 0U) << run.err;
    EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
  }
}

TEST(HostSimTrace, ShowsEveryCallInOrderWithNamesAndAnswers) {
  const SimRun run = host_sim({"--trace", "--steps", "1", "--geom", "floor", "--geom", "arm",
                               "--lookup", "arm", MY_PHYSICS1_PATH});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "physics_special_init(geom_lookup, body_lookup, contact_group, send, receive, "
            "console_printf, time)\n"
            "tamrix_physics_init()\n"
            "  dTamrixGetBodyFromDEFProc(\"body1\") -> null\n"
            "  dTamrixConsolePrintfProc(\"not found\")\n"
            "[plugin console] not found\n"
            "getBody(\"arm\")\n"
            "  dTamrixGetBodyFromDEFProc(\"arm\") -> arm\n"
            "  -> arm\n"
            "lookup arm: found\n"
            "tamrix_physics_step()\n"
            "tamrix_physics_collide(floor, arm) -> 0\n"
            "tamrix_physics_cleanup()\n"
            "summary: 1 steps, 1 collide calls, 0 non-zero, 1 console messages\n");
}

}  // namespace
