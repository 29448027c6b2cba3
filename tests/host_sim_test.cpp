// host-sim as a user meets it, and the host services it gives plug-ins.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <random>
#include <sstream>

#include "plugin_fixture.hpp"
#include "sim/body_plot.hpp"
#include "sim/host_sim.hpp"
#include "sim/replay.hpp"
#include "sim/world_file.hpp"
#include "sim/world_keys.hpp"

namespace {

// A file of this test's own in the temporary folder: other builds' test runs
// share that folder, at the same time.
std::filesystem::path scratch(const std::string &name) {
  static const std::string run = std::to_string(std::random_device{}());
  return std::filesystem::temp_directory_path() / ("host_sim_" + run + "_" + name);
}

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

// A plot's panels by their labels, each panel's text up to the next one.
std::map<std::string, std::string> plot_panels(const std::string &picture) {
  const std::string start = "<g>\n<rect";
  const std::string label = "rotate(-90)\" text-anchor=\"middle\">";
  std::map<std::string, std::string> panels;
  for (std::size_t at = picture.find(start); at != std::string::npos;) {
    const std::size_t next = picture.find(start, at + 1);
    const std::string panel = picture.substr(at, next - at);
    const std::size_t name = panel.find(label) + label.size();
    panels[panel.substr(name, panel.find("</text>", name) - name)] = panel;
    at = next;
  }
  return panels;
}

// How many expected points each panel of a plot draws, where it draws any.
std::map<std::string, std::size_t> marks_by_panel(const std::string &picture) {
  std::map<std::string, std::size_t> marks;
  for (const auto &[label, panel] : plot_panels(picture)) {
    for (std::size_t at = 0; (at = panel.find("class=\"expected\"", at)) != std::string::npos;
         ++at) {
      ++marks[label];
    }
  }
  return marks;
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
                                                     {"--timeout"},
                                                     {"--timeout", "0"},
                                                     {"--timeout", "3600.5"},
                                                     {"--timeout", "nan"},
                                                     {"--timeout", "1", "--timeout", "2"},
                                                     {"a.so", "b.so"}};
  for (const auto &args : bad) {
    const SimRun run = host_sim(args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("host-sim: ", 0), 0U) << run.err;
    EXPECT_NE(run.err.find("; usage: host-sim "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    // The watching process reads the limit from the same words, before the
    // run has said they cannot be used.
    EXPECT_EQ(tamrix_host::timeout_seconds(args), 10.0) << args[0];
  }
  EXPECT_EQ(tamrix_host::timeout_seconds({"--steps", "3", "--timeout", "0.25", "a.so"}), 0.25);
  EXPECT_EQ(tamrix_host::timeout_seconds({"--timeout", "3600"}), 3600.0);
}

TEST(HostSim, HelpDescribesEveryOptionAndVersionNamesTheProgram) {
  const SimRun help = host_sim({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char *option :
       {"--world FILE", "--body NAME", "--geom NAME", "--steps N", "--lookup NAME", "--trace",
        "--timeout SECONDS", "--record FILE.csv", "--plot FILE.svg", "--replay FILE.html",
        "--version", "--help", "Exit status"}) {
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
  std::filesystem::path path_ = scratch(
      std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".toml");
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

// A world too large to run is one line and status 2, before anything is
// allocated for it: a sparse file of gigabytes, a world of every pair of
// 30,000 geometries.
TEST_F(WorldFileTest, WorldsTooLargeAreRefusedBeforeTheyAreRead) {
  const std::string path = write("");
  for (const std::uintmax_t size :
       {std::uintmax_t{tamrix_host::max_world_file_bytes} + 1, std::uintmax_t{6} << 30U}) {
    std::filesystem::resize_file(path, size);
    const SimRun run = host_sim({"--world", path, "/no/such/plugin.so"});
    EXPECT_EQ(run.status, 2) << size;
    EXPECT_EQ(run.err, "host-sim: the world file " + path + " is larger than 16 MiB\n");
  }

  std::string names;
  for (int i = 0; i < 30000; ++i) {
    names += (i == 0 ? "\"g" : ", \"g") + std::to_string(i) + '"';
  }
  const SimRun run =
      host_sim({"--world", write("geometries = [" + names + "]\n"), "/no/such/plugin.so"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "host-sim: the world makes 449985000 collide pairs, more than the 1000000 host-sim "
            "takes: give fewer geometries, or name the pairs to collide\n");

  // The fixture refuses as much itself; the bound counts an engine world's
  // pairs with a body in them.
  tamrix_host::World engine_world;
  engine_world.engine.emplace();
  engine_world.engine->bodies.resize(1000);
  engine_world.engine->geometries.resize(600);
  EXPECT_EQ(tamrix_host::collide_pair_count(engine_world), 999U * 1000 / 2 + 1000 * 600);
  EXPECT_THROW(const tamrix_host::Host host(engine_world), std::invalid_argument);
}

// Non-ASCII text is TOML's inside strings and comments only, and control
// characters nowhere; anything else, and the characters the TOML library's
// own tables are not safe for, is refused here before the library sees it.
TEST_F(WorldFileTest, StrayCharactersAreRefusedBeforeTheTomlLibrarySeesThem) {
  const std::string outside = "not valid TOML: a non-ASCII character outside a string or comment";
  const std::string unsafe =
      "not valid TOML: the character U+00E9, which the TOML reader cannot take safely; in a "
      "string, write it as an escape (\\u00E9)";
  const std::pair<std::string, std::string> bad[] = {
      {"\xe6\x97\xa5 = 1\n", ":1: " + outside},
      {"steps = 1\xe6\x97\xa5\n", ":1: " + outside},
      {"lookups = [\"\"\"a\"\"\"\"] \xe6\x97\xa5\n",
       ":1: " + outside},  // the string ends in a quote
      {"# \"\nsteps = 1 \xff\n", ":2: " + outside},
      {"steps = 1\x01'\xe6\x97\xa5'\n", ":1: not valid TOML: a control character"},
      {"# caf\xc3\xa9\nlookups = [\"caf\xc3\xa9\"]\n", ":2: " + unsafe},
  };
  for (const auto &[text, said] : bad) {
    const std::string path = write(text);
    const SimRun run = host_sim({"--world", path, "/no/such/plugin.so"});
    EXPECT_EQ(run.status, 2) << text;
    std::string expected = "host-sim: ";
    expected.append(path).append(said).append("\n");
    EXPECT_EQ(run.err, expected);
  }
  const std::string allowed =
      "# caf\xc3\xa9\nlookups = [\"caf\\u00e9\", '\xe6\x97\xa5', \"\\\"\xe6\x97\xa5\", "
      "\"\"\"a\n\xe6\x97\xa5\"\"\"]\n";
  tamrix_host::WorldFile file;
  EXPECT_EQ(tamrix_host::read_world_file(write(allowed), file), "");
}

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

namespace {

// ---- Engine worlds under host-sim

constexpr const char *engine_box = R"(steps = 20
[engine]
[[engine.body]]
name = "box"
shape = "box"
size = [1, 1, 1]
mass = 1.0
position = [0, 0, 2]
[[engine.geometry]]
name = "floor"
shape = "plane"
normal = [0, 0, 1]
offset = 0
)";

TEST_F(WorldFileTest, AnUnmetBodyExpectationNamesTheBodyTheStepAndBothValues) {
  const SimRun run = host_sim({"--world", write(std::string(engine_box) + R"(
[[expect.body]]
name = "box"
step = 10
position = [0, 0, 2]
velocity = [0, 0, -0.981]
tolerance = 0.001
[[expect.body]]
name = "box"
step = 21
position = [0, 0, 2]
)"),
                               ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(run.status, 1);
  // Ten steps of 0.01 s: v = 10 g dt, z = 2 - 55 g dt^2.
  EXPECT_EQ(run.err,
            "host-sim: expect.body[1] (box) at step 10: position expected [0, 0, 2] within 0.001, "
            "got [0, 0, 1.94605]\n"
            "host-sim: expect.body[2] (box) at step 21: the run ended after 20 steps\n");
  EXPECT_NE(run.out.find("expectations: not met"), std::string::npos);
}

TEST_F(WorldFileTest, AnEngineWorldRefusesWhatTheEngineDecidesAndBadBodies) {
  const std::string box = R"([[engine.body]]
name = "box"
shape = "box"
size = [1, 1, 1]
mass = 1
position = [0, 0, 2]
)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bodies = [\"a\"]\n[engine]\n", ":1:1: 'bodies' cannot be used with [engine]"},
      {"geometries = []\n[engine]\n", ":1:1: 'geometries' cannot be used with [engine]"},
      {"collide = []\n[engine]\n", ":1:1: 'collide' cannot be used with [engine]"},
      {"[engine]\nfriction = \"lots\"\n", ":2:12: 'engine.friction' must be a number from 0"},
      {"[engine]\nmax_contacts = 0\n", ":2:16: 'engine.max_contacts' must be a whole number"},
      {"[engine]\n" + box + "radius = 1\n", ":8:1: unknown key 'engine.body[1].radius'"},
      {"[engine]\n" + box + box, ":9:8: 'engine.body[2].name' repeats the name 'box'"},
      {"[engine]\n[[engine.body]]\nname = \"b\"\nshape = \"cone\"\n",
       ":4:9: 'engine.body[1].shape' must be \"box\", \"sphere\""},
      {"[engine]\n[[engine.body]]\nname = \"b\"\nshape = \"sphere\"\nradius = 0\nmass = 1\n",
       ":5:10: 'engine.body[1].radius' must be a radius above 0 (m)"},
      {"[engine]\n[[engine.body]]\nname = \"b\"\nshape = \"box\"\nsize = [1, 1, 1]\nmass = -1\n",
       ":6:8: 'engine.body[1].mass' must be a mass above 0 (kg)"},
      {"[engine]\n[[engine.geometry]]\nname = \"floor\"\nshape = \"plane\"\nnormal = [0, 0, 0]\n",
       ":5:10: 'engine.geometry[1].normal' must not be [0, 0, 0]"},
      {"[engine]\n" + box + "[[expect.body]]\nname = \"ghost\"\nstep = 1\nposition = [0, 0, 0]\n",
       ":8:1: [[expect.body]] names 'ghost', which is no [[engine.body]]"},
      {"[[expect.body]]\nname = \"box\"\nstep = 1\nposition = [0, 0, 0]\n",
       "no body: the file has no [engine]"},
      {"[engine]\n" + box + "[[expect.body]]\nname = \"box\"\nstep = 1\n",
       "'expect.body[1]' needs at least one of 'position', 'velocity'"},
  };
  for (const auto &[text, reason] : cases) {
    const std::string path = write(text);
    const SimRun run = host_sim({"--world", path, "/no/such/plugin.so"});
    EXPECT_EQ(run.status, 2) << text;
    EXPECT_EQ(run.err.rfind("host-sim: " + path + ":", 0), 0U) << run.err;
    EXPECT_NE(run.err.find(reason), std::string::npos) << text << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

TEST_F(WorldFileTest, ADisplacementIsMetOverItsStepsAndNamesBothWhenNot) {
  const std::string sliding = ENGINE_WORLDS "/sliding.toml";
  EXPECT_EQ(host_sim({"--world", sliding, ENGINE_IDLE_PLUGIN_PATH}).status, 0);
  // From the start rather than step 100, the same box has gone 1.5 m.
  std::ifstream file(sliding);
  std::string text{std::istreambuf_iterator<char>(file), {}};
  text.replace(text.find("from_step = 100"), 15, "from_step = 0");
  const SimRun run = host_sim({"--world", write(text), ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("host-sim: expect.body[1] (box) at step 300: displacement from step 0 "
                          "expected [1, 0, 0] within 0.01, got [1.5, 0, ",
                          0),
            0U)
      << run.err;
}

TEST_F(WorldFileTest, JointAndTurnExpectationsSayWhatTheyGot) {
  const SimRun met =
      host_sim({"--world", ENGINE_WORLDS "/motor_hinge.toml", ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(met.status, 0) << met.err;
  std::ifstream file(ENGINE_WORLDS "/motor_hinge.toml");
  std::string text{std::istreambuf_iterator<char>(file), {}};
  text.replace(text.find("steps = 100"), 11, "steps = 50");
  const SimRun short_run = host_sim({"--world", write(text), ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(short_run.status, 1);
  EXPECT_NE(short_run.err.find("expect.joint[1] (shoulder) at step 100: the run ended after 50"),
            std::string::npos)
      << short_run.err;
  text.replace(text.find("steps = 50"), 10, "steps = 100");
  text.replace(text.find("angle = 0.5"), 11, "angle = 0.6");
  text.replace(text.find("rpy = [0, 0.5, 0]"), 17, "rpy = [0, 0.4, 0]");
  const SimRun off = host_sim({"--world", write(text), ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(off.status, 1);
  EXPECT_NE(off.err.find("expect.joint[1] (shoulder) at step 100: angle expected 0.6 within "
                         "0.01, got 0.49"),
            std::string::npos)
      << off.err;
  EXPECT_NE(off.err.find("expect.body[1] (arm) at step 100: rpy expected [0, 0.4, 0] within 0.01 "
                         "rad, got [0, 0.49"),
            std::string::npos)
      << off.err;
}

TEST_F(WorldFileTest, RobotPartsTheEngineCannotBuildAreRefusedWithTheirPlace) {
  const std::string arm = R"([engine]
[[engine.body]]
name = "arm"
shape = "box"
size = [1, 1, 1]
mass = 1
position = [0, 0, 2]
)";
  const std::string hinge = "[[engine.joint]]\nname = \"j\"\ntype = \"hinge\"\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {arm + "rpy = [0, 0, 0]\nquaternion = [1, 0, 0, 0]\n",
       ":9:14: 'engine.body[1]' takes 'rpy' or 'quaternion', not both"},
      {arm + "quaternion = [0, 0, 0, 0]\n", ":8:14: 'engine.body[1].quaternion' must not be"},
      {arm + hinge + "bodies = [\"arm\", \"leg\"]\nanchor = [0, 0, 0]\naxis = [0, 1, 0]\n",
       ":11:10: 'engine.joint[1].bodies' names 'leg', which is no [[engine.body]]"},
      {arm + hinge + "bodies = [\"arm\"]\nanchor = [0, 0, 0]\n",
       "'engine.joint[1]' needs an 'axis'"},
      {arm + hinge + "bodies = [\"arm\"]\nanchor = [0, 0, 0]\naxis = [0, 1, 0]\nlimits = [1, -1]\n",
       "'engine.joint[1].limits[2]' must be a number no lower than limits[1]"},
      {arm + hinge +
           "bodies = [\"arm\"]\nanchor = [0, 0, 0]\naxis = [0, 1, 0]\nmotor = { speed = 1 }\n",
       "unknown key 'engine.joint[1].motor.speed'; the keys here are velocity, max_force"},
      {arm + "[[engine.joint]]\nname = \"j\"\ntype = \"ball\"\nbodies = [\"arm\"]\naxis = [0, 1, "
             "0]\n",
       "unknown key 'engine.joint[1].axis'; the keys here are name, type, bodies, anchor"},
      {arm + "[[engine.joint]]\nname = \"j\"\ntype = \"weld\"\n",
       "'engine.joint[1].type' must be \"hinge\", \"slider\", \"ball\", \"universal\" or "
       "\"fixed\""},
      {arm + "[[engine.body.part]]\nname = \"arm\"\nshape = \"box\"\nsize = [1, 1, 1]\noffset = "
             "[1, 0, 0]\n",
       "'engine.body[1].part[1].name' repeats the name 'arm'"},
      {arm +
           "[[engine.geometry]]\nname = \"g\"\nshape = \"mesh\"\nvertices = [[0, 0, 0], [1, 0, 0], "
           "[0, 1, 0]]\ntriangles = [[0, 1, 3]]\n",
       "'engine.geometry[1].triangles[1][3]' must be a whole number from 0 to 2"},
      {arm + "iterations = 5\n", "unknown key 'engine.body[1].iterations'"},
      {"[engine]\niterations = 5\n", "'engine.iterations' is for solver = \"quick\""},
      {arm + "[[expect.body]]\nname = \"arm\"\nstep = 3\nfrom_step = 3\ndisplacement = [0, 0, 0]\n",
       "'expect.body[1].from_step' must be a whole number from 0 to 2"},
      {arm + "[[expect.body]]\nname = \"arm\"\nstep = 3\nfrom_step = 1\n",
       "'expect.body[1]' takes 'displacement' and 'from_step' together"},
      {arm + "[[engine.joint]]\nname = \"j\"\ntype = \"slider\"\nbodies = [\"arm\"]\naxis = [0, 0, "
             "1]\n[[expect.joint]]\nname = \"j\"\nstep = 1\nangle = 1\n",
       "[[expect.joint]] 'j' cannot have an 'angle'"},
      {arm + "[[expect.joint]]\nname = \"j\"\nstep = 1\nangle = 1\n",
       "[[expect.joint]] names 'j', which is no [[engine.joint]] of the world"},
  };
  for (const auto &[text, reason] : cases) {
    const std::string path = write(text);
    const SimRun run = host_sim({"--world", path, "/no/such/plugin.so"});
    EXPECT_EQ(run.status, 2) << text;
    EXPECT_EQ(run.err.rfind("host-sim: " + path + ":", 0), 0U) << run.err;
    EXPECT_NE(run.err.find(reason), std::string::npos) << text << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

// The reader, --help (and so the man page) and host-sim's page share the one
// table of keys.
TEST(WorldKeys, HelpAndThePageListEveryKeyTheReaderTakes) {
  const SimRun help = host_sim({"--help"});
  std::ifstream page_file(HOST_SIM_PAGE);
  const std::string page{std::istreambuf_iterator<char>(page_file), {}};
  for (const tamrix_host::WorldKey &key : tamrix_host::world_keys()) {
    EXPECT_NE(help.out.find("    " + std::string(key.key)), std::string::npos) << key.key;
  }
  EXPECT_NE(help.out.find(tamrix_host::world_keys_text()), std::string::npos);
  EXPECT_NE(page.find(tamrix_host::world_keys_markdown()), std::string::npos)
      << "docs/host-sim.md's key table should read:\n"
      << tamrix_host::world_keys_markdown();
}

// Where the run's outputs go, removed with the test.
class EngineOutputs : public WorldFileTest {
 protected:
  ~EngineOutputs() override {
    std::filesystem::remove(csv);
    std::filesystem::remove(svg);
    std::filesystem::remove(page);
  }
  static std::string read(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }
  std::string csv = scratch("record.csv").string();
  std::string svg = scratch("plot.svg").string();
  std::string page = scratch("replay.html").string();
};

TEST_F(EngineOutputs, RecordARowPerBodyPerStepAndPlotTheSame) {
  std::ofstream(csv) << "an older record, replaced\n";
  const SimRun run = host_sim({"--world", write(engine_box), "--record", csv, "--plot", svg,
                               "--trace", "--lookup", "box", ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(run.status, 0) << run.err;
  std::ifstream record(csv);
  std::string line;
  std::getline(record, line);
  EXPECT_EQ(line, "step,time,body,x,y,z,qw,qx,qy,qz,vx,vy,vz");
  std::vector<std::string> rows;
  while (std::getline(record, line)) {
    rows.push_back(line);
  }
  ASSERT_EQ(rows.size(), 21U);  // the start, then 20 steps
  EXPECT_EQ(rows[0], "0,0,box,0,0,2,1,0,0,0,0,0,0");
  EXPECT_EQ(rows[1], "1,0.01,box,0,0,1.999019,1,0,0,0,0,0,-0.0981");
  std::ifstream plot(svg);
  const std::string picture{std::istreambuf_iterator<char>(plot), {}};
  for (const char *part :
       {"<svg ", "time (s)", "z (m)", "speed (m/s)", ">box</text>", "<polyline", "</svg>"}) {
    EXPECT_NE(picture.find(part), std::string::npos) << part;
  }
  // The trace names the engine's handles as it names any other.
  EXPECT_NE(run.out.find("  dTamrixGetBodyFromDEFProc(\"box\") -> box\n"), std::string::npos)
      << run.out;
}

TEST_F(EngineOutputs, OnlyARegularFileIsReplacedAndOnlyAnEngineWorldRecords) {
  const std::string folder = std::filesystem::temp_directory_path().string();
  const std::string world = write(engine_box);
  for (const char *option : {"--record", "--plot", "--replay"}) {
    const SimRun run = host_sim({"--world", world, option, folder, ENGINE_IDLE_PLUGIN_PATH});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "host-sim: " + std::string(option) + " " + folder +
                  ": a directory, not a regular file, and only a regular file is replaced\n");
    const SimRun names_only = host_sim({option, csv});
    EXPECT_EQ(names_only.status, 2);
    EXPECT_EQ(names_only.err,
              "host-sim: " + std::string(option) + " needs a world file with an [engine] part\n");
  }
  // Nor any file the run reads, or the other output.
  const SimRun over_world = host_sim({"--world", world, "--plot", world, ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(over_world.status, 2);
  EXPECT_EQ(over_world.err,
            "host-sim: --plot " + world + ": the run reads or writes that file already\n");
  const SimRun both =
      host_sim({"--world", world, "--record", csv, "--plot", csv, ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("--plot " + csv + ": the run reads or writes"), std::string::npos);
  const SimRun replay_over_plot =
      host_sim({"--world", world, "--plot", svg, "--replay", svg, ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(replay_over_plot.status, 2);
  EXPECT_NE(replay_over_plot.err.find("--replay " + svg + ": the run reads or writes"),
            std::string::npos);
  const SimRun bodies = host_sim({"--world", world, "--body", "arm", ENGINE_IDLE_PLUGIN_PATH});
  EXPECT_EQ(bodies.status, 2);
  EXPECT_FALSE(std::filesystem::exists(csv));
}

// A body's name is the author's text: it reaches the page as data, never as
// markup or script, and the plot as escaped XML.
TEST_F(EngineOutputs, AuthorsNamesCannotBreakOutOfThePageOrThePlot) {
  std::string world = engine_box;
  const std::string name = R"(</script><img src=x onerror=alert(1)>\"&\u2028)";
  world.replace(world.find("\"box\""), 5, "\"" + name + "\"");
  const SimRun run =
      host_sim({"--world", write(world), "--plot", svg, "--replay", page, ENGINE_IDLE_PLUGIN_PATH});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string html = read(page);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("\xe2\x80\xa8"), std::string::npos);
  EXPECT_NE(
      html.find(
          R"("name":"\u003c/script\u003e\u003cimg src=x onerror=alert(1)\u003e\"\u0026\\u2028")"),
      std::string::npos);
  EXPECT_NE(read(svg).find("&lt;/script&gt;&lt;img src=x onerror=alert(1)&gt;&quot;&amp;"),
            std::string::npos);
}

// What the world file expects is drawn where it was expected, and a run
// thinned for the pictures still ends at its last step.
TEST_F(EngineOutputs, ExpectationsAreDrawnAndTheLastStepIsKept) {
  const SimRun run =
      host_sim({"--world", write(std::string(engine_box) + R"(
[[expect.body]]
name = "box"
step = 5
position = [0, 0, 1.9]
velocity = [0, 0, -0.5]
tolerance = 0.5
[[expect.body]]
name = "box"
step = 5
from_step = 2
displacement = [0, 0, -0.012]
tolerance = 0.01
)"),
                "--steps", "4001", "--plot", svg, "--replay", page, ENGINE_IDLE_PLUGIN_PATH});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string picture = read(svg);
  // x, y and z twice, for the position and for the displacement, and the speed
  EXPECT_EQ(marks_by_panel(picture),
            (std::map<std::string, std::size_t>{
                {"x (m)", 2}, {"y (m)", 2}, {"z (m)", 2}, {"speed (m/s)", 1}}));
  const std::string html = read(page);
  const std::size_t steps = html.find("\"steps\":[");
  ASSERT_NE(steps, std::string::npos);
  const std::string list = html.substr(steps, html.find(']', steps) - steps);
  EXPECT_EQ(list.substr(list.rfind(',') + 1), "4001");
  EXPECT_EQ(list.substr(0, 14), "\"steps\":[0,2,4");
}
}  // namespace

namespace {

// A plug-in's console text and its own writes to the standard output, shown
// apart from host-sim's lines and escaped, so none can pass for the summary.
TEST(HostSimPluginText, ShownEscapedAndApartFromHostSimsOwnLines) {
  const SimRun run = host_sim({"--steps", "2", HOSTILE_REPORT_PLUGIN_PATH});
  EXPECT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  std::vector<std::string> own;
  std::size_t plugins = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    if (line.rfind("plugin| ", 0) == 0) {
      ++plugins;
    } else if (line.rfind("[plugin console] ", 0) != 0) {
      own.push_back(line);
    }
  }
  EXPECT_EQ(own, std::vector<std::string>{
                     "summary: 2 steps, 6 collide calls, 0 non-zero, 1 console messages"});
  // Three lines from init, one from each step.
  EXPECT_EQ(plugins, 5U) << run.out;
  EXPECT_NE(run.out.find("plugin| summary: forged in a step\n"), std::string::npos);
  EXPECT_NE(run.out.find("\\x1b[2J\\x1b]0;owned\\x07"), std::string::npos);
}

}  // namespace

namespace {

// The world file's joint and spin expectations reach the plot's panels.
TEST_F(EngineOutputs, AWorldFilesJointExpectationsAreDrawn) {
  const SimRun run = host_sim({"--world", write(R"(steps = 10
[engine]
[[engine.body]]
name = "arm"
shape = "box"
size = [1, 0.1, 0.1]
mass = 1.0
position = [0.5, 0, 1]
[[engine.joint]]
name = "shoulder"
type = "hinge"
bodies = ["arm"]
anchor = [0, 0, 1]
axis = [0, 1, 0]
[[expect.joint]]
name = "shoulder"
step = 10
angle = 0.1
rate = 1
tolerance = 1
[[expect.body]]
name = "arm"
step = 10
angular_velocity = [0, 1, 0]
rpy = [0, 0.1, 0]
angle_tolerance = 10
)"),
                               "--plot", svg, ENGINE_IDLE_PLUGIN_PATH});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(marks_by_panel(read(svg)),
            (std::map<std::string, std::size_t>{{"joint angle (rad)", 1},
                                                {"joint rate (rad/s)", 1},
                                                {"angular speed (rad/s)", 1},
                                                {"roll (rad)", 1},
                                                {"pitch (rad)", 1},
                                                {"yaw (rad)", 1}}));
}

// A jointed world, as the fixture builds it: an arm of two geometries hinged
// to the world and swinging down, and a box on a rail beside it.
TEST(EnginePictures, JointsAreDrawnAndPlottedWithTheirExpectations) {
  using namespace tamrix_host;
  Engine engine;
  EngineBody arm{.name = "arm", .size = {1, 0.1, 0.1}, .position = {0.5, 0, 1}};
  arm.parts.push_back(
      EnginePart{.name = "hand", .shape = Shape::sphere, .radius = 0.1, .offset = {0.5, 0, 0}});
  EngineBody cart{.name = "cart", .size = {0.2, 0.2, 0.2}, .position = {0, 1, 1}};
  engine.bodies = {arm, cart};
  engine.joints = {
      EngineJoint{.name = "shoulder", .first = "arm", .anchor = {0, 0, 1}, .axis = {0, 1, 0}},
      EngineJoint{.name = "rail", .type = JointType::slider, .first = "cart", .axis = {0, 0, 1}}};
  World world;
  world.engine = engine;
  Host host(world);
  const Plugin plugin(ENGINE_IDLE_PLUGIN_PATH);
  BodyRecorder recorder({"arm", "cart"}, {"shoulder", "rail"}, 50, nullptr, true);
  host.set_up(plugin);
  host.init(plugin);
  recorder.sample(host, 0, 0.0);
  for (long step = 1; step <= 50; ++step) {
    host.step(plugin);
    recorder.sample(host, step, 0.01 * static_cast<double>(step));
  }
  const BodyHistory history = recorder.history();
  ASSERT_EQ(history.frames.size(), 51U);
  const JointState &shoulder = history.frames.back().joints.at(0);
  EXPECT_GT(shoulder.angle, 0.3);              // swung down about y
  EXPECT_NEAR(shoulder.anchor[2], 1.0, 0.01);  // the anchor, on the arm, drifts a little

  std::ostringstream svg;
  write_plot(svg, history, {},
             {PlotJointExpectation{.joint = 0, .time = 0.5, .angle = 1.0, .tolerance = 0.1},
              PlotJointExpectation{.joint = 1, .time = 0.5, .position = -1.0, .tolerance = 0.1},
              PlotJointExpectation{.joint = 1, .time = 0.3, .rate = -3.0, .tolerance = 0.1}});
  for (const char *part : {"angular speed (rad/s)", "joint angle (rad)", "slider position (m)",
                           ">shoulder</text>", ">rail</text>"}) {
    EXPECT_NE(svg.str().find(part), std::string::npos) << part;
  }
  const std::string picture = svg.str();
  // The arm swings, so it has turn panels; each joint has a rate panel.
  const std::map<std::string, std::string> panels = plot_panels(picture);
  for (const char *label :
       {"roll (rad)", "pitch (rad)", "yaw (rad)", "joint rate (rad/s)", "slider rate (m/s)"}) {
    EXPECT_EQ(panels.count(label), 1U) << label;
  }
  EXPECT_EQ(marks_by_panel(picture),
            (std::map<std::string, std::size_t>{
                {"joint angle (rad)", 1}, {"slider position (m)", 1}, {"slider rate (m/s)", 1}}));

  std::ostringstream html;
  write_replay(html, engine, history, 0.01);
  const std::string page = html.str();
  for (const char *part :
       {R"({"name":"shoulder","type":"hinge","first":0,"second":-1})",
        R"({"name":"rail","type":"slider","first":1,"second":-1})",
        R"("offset":[0.5,0,0],"orientation":[1,0,0,0]})", R"("shape":"sphere")"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
}

// A panel's one line, as the heights of its points, and the height of its
// one expected point.
std::pair<std::vector<double>, double> line_and_point(const std::string &panel) {
  std::vector<double> heights;
  const std::size_t line = panel.find("points=\"") + 8;
  std::istringstream points(panel.substr(line, panel.find('"', line) - line));
  for (std::string point; points >> point;) {
    heights.push_back(std::stod(point.substr(point.find(',') + 1)));
  }
  const std::size_t point = panel.find("r=\"3\" fill=\"black\"");
  const std::size_t cy = panel.rfind("cy=\"", point) + 4;
  return {heights, point == std::string::npos ? -1.0 : std::stod(panel.substr(cy))};
}

// A body spinning about z past pi: its yaw stays one line, and a turn
// expected in other angles that name the same orientation is drawn on it.
TEST(EnginePictures, ATurnPastPiIsOneLineAndItsExpectationLiesOnIt) {
  using namespace tamrix_host;
  BodyHistory history{{"top"}, {}, {}};
  for (long step = 0; step <= 40; ++step) {
    BodyState state;
    state.orientation = quaternion_of_rpy({0, 0, 0.1 * static_cast<double>(step)});
    history.frames.push_back({step, 0.01 * static_cast<double>(step), {state}, {}});
  }
  constexpr double turn = 2 * std::numbers::pi;
  std::ostringstream svg;
  write_plot(svg, history,
             {PlotExpectation{.body = 0,
                              .time = 0.4,
                              .rpy = std::array<double, 3>{turn, 0, 4 - turn},
                              .angle_tolerance = 0.01}});
  std::map<std::string, std::string> panels = plot_panels(svg.str());
  const auto [yaw, yaw_point] = line_and_point(panels["yaw (rad)"]);
  ASSERT_EQ(yaw.size(), 41U);
  for (std::size_t i = 1; i < yaw.size(); ++i) {
    EXPECT_LT(yaw[i], yaw[i - 1]) << i;  // rising all the way: no jump back by 2 pi
  }
  EXPECT_NEAR(yaw_point, yaw.back(), 0.5);
  // A roll of 2 pi is no roll at all: drawn on the line at 0.
  const auto [roll, roll_point] = line_and_point(panels["roll (rad)"]);
  ASSERT_FALSE(roll.empty());
  EXPECT_NEAR(roll_point, roll.back(), 0.5);
  EXPECT_EQ(marks_by_panel(svg.str()),
            (std::map<std::string, std::size_t>{
                {"roll (rad)", 1}, {"pitch (rad)", 1}, {"yaw (rad)", 1}}));
}

// A world the engine blew up in: the pictures stay valid SVG and JSON, the
// lost values drawn as missing.
TEST(EnginePictures, ValuesTheEngineLostStayOutOfThePictures) {
  using namespace tamrix_host;
  const double lost = std::numeric_limits<double>::quiet_NaN();
  BodyState broken;
  broken.position = {lost, 0, std::numeric_limits<double>::infinity()};
  broken.velocity = {lost, lost, lost};
  const BodyHistory history{{"box"}, {}, {{0, 0.0, {BodyState{}}, {}}, {1, 0.01, {broken}, {}}}};
  std::ostringstream svg;
  write_plot(svg, history, {});
  std::ostringstream html;
  Engine engine;
  engine.bodies.push_back(EngineBody{.name = "box"});
  write_replay(html, engine, history, 0.01);
  const std::string page = html.str();
  const std::size_t data = page.find("id=\"world\">");
  ASSERT_NE(data, std::string::npos);
  for (const std::string &text :
       {svg.str(), page.substr(data, page.find("</script>", data) - data)}) {
    for (const char *invalid : {"nan", "inf", "NaN", "Infinity"}) {
      EXPECT_EQ(text.find(invalid), std::string::npos) << invalid;
    }
  }
  EXPECT_NE(html.str().find("[null,0,null,1,0,0,0,null,null,null,0,0,0]"), std::string::npos);
}
}  // namespace
