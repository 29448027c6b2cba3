// The reach table and what a survey makes of it; the check itself is proved
// against the plug-ins of tests/reach.cmake.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "observe/reach.hpp"

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

TEST(ReachSurvey, EngineImportsAreQuietOnlyForAnEnginePlugin) {
  const std::vector<std::string> imports = {"dBodyAddForce", "memset", "setvbuf"};
  EXPECT_EQ(plugin_check::imported_reach(imports, true).size(), 1U);
  EXPECT_EQ(plugin_check::imported_reach(imports, false).size(), 2U);
}

TEST(ReachSurvey, WhatTheChildSawCrossesTheChannelAndDamageIsDropped) {
  const std::vector<Reached> seen = {
      {Reached::How::calls, "srand", "tamrix_physics_init", 2},
      {Reached::How::opens, "/opt/my lib;v2.so", "tamrix_physics_step", 1},
  };
  const std::string text = plugin_check::encode_run_time_reach(seen);
  const std::vector<Reached> read =
      plugin_check::decode_run_time_reach(text + "calls;bogus x y z;resolves cos - many;");
  ASSERT_EQ(read.size(), 2U);
  EXPECT_EQ(read[0].name, "srand");
  EXPECT_EQ(read[0].hook, "tamrix_physics_init");
  EXPECT_EQ(read[0].count, 2);
  EXPECT_EQ(read[1].how, Reached::How::opens);
  EXPECT_EQ(read[1].name, "/opt/my?lib?v2.so");
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

}  // namespace
