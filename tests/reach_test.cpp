// The reach table and what a survey makes of it; the check itself is proved
// against the plug-ins of tests/reach.cmake.
#include <gtest/gtest.h>

#if defined(REACH_WATCHED)
#include <dlfcn.h>
#endif
#if defined(REACH_LOOKS_UP_PATH)
#include <windows.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.hpp"
#include "inspect/plugin_file.hpp"
#include "observe/reach.hpp"
#include "observe/reach_record.hpp"
#include "observe/reach_watch.hpp"

namespace {

using plugin_check::Category;
using plugin_check::category_of;
using plugin_check::Reach;
using plugin_check::Reached;

TEST(ReachTable, SortsNamesByWhatTheyStandForAndNeverCallsTheUnknownQuiet) {
  const std::map<std::string_view, Category> expected = {
      {"memcpy", Category::quiet},
      {"__memcpy_chk", Category::quiet},
      {"__isoc99_sscanf", Category::quiet},
      {"sqrtf", Category::quiet},
      {"__snprintf_chk", Category::quiet},
      {"dTamrixGetBodyFromDEFProc", Category::quiet},  // the host's service
      {"__printf_chk", Category::streams},
      {"stdin", Category::streams},
      {"open64", Category::files},
      {"srand", Category::process_state},
      {"environ", Category::process_state},
      {"mmap64", Category::memory},
      {"pthread_key_create", Category::threads},
      {"prctl", Category::kernel},
      {"syscall", Category::syscalls},
      {"__chk", Category::unlisted},
      {"64", Category::unlisted},
      {"dBodyAddForce", Category::unlisted},  // the engine's only for an engine plug-in
      {"_ZNSt6vectorIiSaIiEE9push_backERKi", Category::unlisted},
  };
  for (const auto &[name, category] : expected) {
    EXPECT_EQ(category_of(name), category) << name;
  }
}

TEST(ReachTable, ListsEachNameOnceAndNamesEveryCategoryButQuiet) {
  std::map<std::string_view, int> seen;
#define REACH_FUNCTION(name, category) ++seen[#name];
#define REACH_VARIABLE(name, category) ++seen[#name];
#include "observe/reach.def"
  for (const auto &[name, count] : seen) {
    EXPECT_EQ(count, 1) << name << " is listed more than once";
  }
  for (const Category category : {Category::streams, Category::process_state, Category::unlisted}) {
    EXPECT_EQ(plugin_check::category_named(plugin_check::category_name(category)), category);
  }
  EXPECT_FALSE(plugin_check::category_named("quiet"));  // nothing to allow
  EXPECT_FALSE(plugin_check::category_named("file"));
}

TEST(ReachTable, AllowTakesTheCategoriesByNameAndRefusesAnyOtherInOneLine) {
  plugin_check::Options options;
  EXPECT_EQ(plugin_check::parse_options({"--allow", "files,process-state", "p.so"}, options), "");
  EXPECT_EQ(options.allow, (std::vector<std::string>{"files", "process-state"}));
  for (const char *wrong : {"quiet", "File", "signal"}) {
    plugin_check::Options refused;
    const std::string problem = plugin_check::parse_options({"--allow", wrong, "p.so"}, refused);
    EXPECT_EQ(problem.rfind("--allow names no category '", 0), 0U) << wrong << ": " << problem;
    EXPECT_NE(problem.find("the categories are streams, files, processes"), std::string::npos);
    EXPECT_EQ(problem.find('\n'), std::string::npos);
  }
}

TEST(ReachSurvey, EngineImportsAreQuietOnlyForAnEnginePlugin) {
  const std::vector<std::string> imports = {"dBodyAddForce", "memset", "setvbuf"};
  EXPECT_EQ(plugin_check::imported_reach(imports, true).size(), 1U);
  EXPECT_EQ(plugin_check::imported_reach(imports, false).size(), 2U);
}

TEST(ReachSurvey, WhatTheChildSawCrossesTheChannelAndDamageIsDropped) {
  const std::vector<Reached> seen = {
      {Reached::How::calls, "srand", "tamrix_physics_init", 2},
      {Reached::How::opens, "/opt/my lib;v2%.so", "tamrix_physics_step", 1},
  };
  const std::string text = plugin_check::encode_run_time_reach(seen);
  const std::vector<Reached> read =
      plugin_check::decode_run_time_reach(text + "calls;bogus x y z;resolves cos - many;");
  ASSERT_EQ(read.size(), 2U);
  EXPECT_EQ(read[0].name, "srand");
  EXPECT_EQ(read[0].hook, "tamrix_physics_init");
  EXPECT_EQ(read[0].count, 2);
  EXPECT_EQ(read[1].how, Reached::How::opens);
  EXPECT_EQ(read[1].name, "/opt/my lib;v2%.so");
  EXPECT_EQ(category_of(read[1]), Category::loading);
}

TEST(ReachSurvey, CallsAreToldByHookImportsOnlyWithoutCallsAllowedReachIsListedButQuiet) {
  Reach reach;
  reach.seen = {
      {Reached::How::imports, "srand", {}, 0},
      {Reached::How::imports, "setvbuf", {}, 0},
      {Reached::How::imports, "stdin", {}, 0},
      {Reached::How::calls, "srand", "tamrix_physics_init", 1},
      {Reached::How::calls, "setvbuf", "tamrix_physics_init", 1},
      {Reached::How::calls, "srand", "tamrix_physics_step", 300},
  };
  EXPECT_EQ(plugin_check::unallowed_reach(reach, {}),
            "tamrix_physics_init called srand (the C library's process-wide state) and setvbuf "
            "(the standard streams and terminals); tamrix_physics_step called srand 300 times "
            "(the C library's process-wide state)");
  const std::vector<std::string> manifest =
      plugin_check::reach_manifest(reach, {Category::streams});
  ASSERT_EQ(manifest.size(), 2U);
  EXPECT_EQ(manifest[0],
            "reach streams (the standard streams and terminals), allowed: imports setvbuf and "
            "stdin; tamrix_physics_init called setvbuf");
  EXPECT_EQ(plugin_check::unallowed_reach(reach, {Category::process_state, Category::streams}), "");

  reach.seen.resize(3);
  EXPECT_EQ(plugin_check::unallowed_reach(reach, {Category::process_state}),
            "the plug-in imports setvbuf and stdin (the standard streams and terminals)");
  EXPECT_EQ(plugin_check::reach_manifest({}, {}),
            std::vector<std::string>{"reach: nothing beyond what a physics plug-in plainly needs"});
}

#if defined(REACH_SRAND_PATH)
// What the loader binds, read from the file: a plug-in that needs only the
// quiet list reaches nothing, and one that seeds the random state is named.
TEST(ReachOfAFile, TheImportsAreReadAsTheLoaderBindsThem) {
  const plugin_check::PluginFile sound = plugin_check::read_plugin_file(REACH_MATHS_PATH);
  for (const char *quiet : {"sin", "__cxa_finalize"}) {
    EXPECT_NE(std::find(sound.imports.begin(), sound.imports.end(), quiet), sound.imports.end())
        << quiet;
  }
  EXPECT_TRUE(plugin_check::imported_reach(sound.imports, sound.engine).empty());
  const plugin_check::PluginFile seeds = plugin_check::read_plugin_file(REACH_SRAND_PATH);
  const std::vector<Reached> reach = plugin_check::imported_reach(seeds.imports, seeds.engine);
  ASSERT_EQ(reach.size(), 1U);
  EXPECT_EQ(reach[0].name, "srand");
}
#endif

#if defined(REACH_WATCHED)
// The wrappers of this program stand in front of the C library's: a call the
// plug-in makes, at its end or not, is told by hook; this program's own calls
// never are.
TEST(ReachWatch, CountsThePluginsOwnCallsOnlyEvenAsATailCall) {
  void *const library = dlopen(REACH_SIGNAL_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();  // NOLINT(concurrency-mt-unsafe): one thread
  void *const init_symbol = dlsym(library, "tamrix_physics_init");
  void (*init)() = nullptr;
  std::memcpy(&init, &init_symbol, sizeof init);
  std::string why_not;
  ASSERT_TRUE(plugin_check::watch_reach(init_symbol, why_not)) << why_not;
  plugin_check::call_watched("tamrix_physics_init", init);
  signal(SIGUSR2, SIG_DFL);  // this program's own
  const std::vector<Reached> seen = plugin_check::reach_watched();
  ASSERT_EQ(seen.size(), 1U);
  EXPECT_EQ(seen[0].name, "signal");
  EXPECT_EQ(seen[0].hook, "tamrix_physics_init");
  EXPECT_EQ(seen[0].count, 2);  // set, then put back as init's tail call: both counted
  dlclose(library);
}

// Only the watched library's calls count: another library's, made while the
// watch runs, and any made after it stopped, are not the plug-in's.
TEST(ReachWatch, OnlyTheWatchedLibrarysCallsCountAndOnlyWhileWatched) {
  void *const watched = dlopen(REACH_SIGNAL_PATH, RTLD_NOW | RTLD_LOCAL);
  void *const other = dlopen(REACH_SRAND_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(watched, nullptr);
  ASSERT_NE(other, nullptr);
  void *const watched_init = dlsym(watched, "tamrix_physics_init");
  void *const other_init = dlsym(other, "tamrix_physics_init");
  void (*init)() = nullptr;
  std::string why_not;
  ASSERT_TRUE(plugin_check::watch_reach(watched_init, why_not)) << why_not;
  std::memcpy(&init, &other_init, sizeof init);
  init();
  EXPECT_TRUE(plugin_check::reach_watched().empty());
  std::memcpy(&init, &watched_init, sizeof init);
  init();  // after the watch
  EXPECT_TRUE(plugin_check::reach_watched().empty());
  dlclose(other);
  dlclose(watched);
}

// The wrappers hand each call on to the C library's own definition, never to
// this program's: found by name in the C library's table, the default version.
TEST(ReachWatch, HandsEachCallOnToTheCLibrarysOwnDefinition) {
  Dl_info defined{};
  void *const next = plugin_check::reach_record::next_definition("setenv");
  ASSERT_NE(next, nullptr);
  ASSERT_NE(dladdr(next, &defined), 0);
  EXPECT_NE(std::string_view(defined.dli_fname).find("libc.so"), std::string_view::npos)
      << defined.dli_fname;
  void *const own = dlsym(RTLD_DEFAULT, "setenv");
  EXPECT_NE(next, own);  // this program's wrapper comes first for everyone else
  EXPECT_EQ(plugin_check::reach_record::next_definition("no_such_function_anywhere"), nullptr);
}
#endif

#if defined(REACH_LOOKS_UP_PATH)
// The DLL's own import table is pointed at the watch while it is watched, and
// put back when the watch stops: a second watch finds the system's entries to
// point at it again. This program's own look-ups are never the plug-in's.
TEST(ReachWatch, TheDllsOwnLookUpsAreToldByHookAndItsImportsPutBack) {
  HMODULE const library = LoadLibraryA(REACH_LOOKS_UP_PATH);
  ASSERT_NE(library, nullptr);
  FARPROC const init_symbol = GetProcAddress(library, "tamrix_physics_init");
  void (*init)() = nullptr;
  std::memcpy(&init, &init_symbol, sizeof init);
  const void *inside = nullptr;
  std::memcpy(&inside, &init_symbol, sizeof inside);
  for (const char *hook : {"tamrix_physics_init", ""}) {
    std::string why_not;
    ASSERT_TRUE(plugin_check::watch_reach(inside, why_not)) << why_not;
    if (*hook != '\0') {
      plugin_check::call_watched(hook, init);
    } else {
      init();  // as from a thread of the plug-in's own
    }
    EXPECT_NE(GetProcAddress(library, "getBody"), nullptr);
    const std::vector<Reached> seen = plugin_check::reach_watched();
    ASSERT_EQ(seen.size(), 2U) << hook;
    EXPECT_EQ(seen[0].how, Reached::How::calls);
    EXPECT_EQ(seen[0].name, "GetProcAddress");
    EXPECT_EQ(seen[1].how, Reached::How::resolves);
    EXPECT_EQ(seen[1].name, "getenv");
    EXPECT_EQ(seen[1].hook, hook);
    EXPECT_EQ(category_of(seen[1]), Category::process_state);
  }
  FreeLibrary(library);
}
#endif

}  // namespace
