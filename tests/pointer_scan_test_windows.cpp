// The scan for pointers left into an unloaded DLL: what the loader and the C
// runtime leave of a DLL with nothing in it is no finding, and a word the
// program still holds, in its data or in a live heap block, is one until it
// lets go; a freed block is no place.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "observe/pointer_scan.hpp"

namespace {

// Where the program keeps its pointer into the DLL, as a host's global.
const void *volatile kept = nullptr;

// A byte of the DLL's, past its first (which is its handle).
const char *load_and_record(HMODULE &module) {
  module = LoadLibraryA(EMPTY_LIBRARY_PATH);
  EXPECT_NE(module, nullptr);
  if (module == nullptr) {
    return nullptr;
  }
  const char *inside = reinterpret_cast<const char *>(module) + 64;
  EXPECT_TRUE(plugin_check::pointers::record_library_of(inside));
  return inside;
}

TEST(PointerScan, FindsWhatTheProgramStillHoldsAndNothingOnceItLetsGo) {
  std::size_t total = 0;
  HMODULE module = nullptr;
  const char *inside = load_and_record(module);
  ASSERT_NE(inside, nullptr);
  ASSERT_NE(FreeLibrary(module), 0);
  EXPECT_EQ(plugin_check::pointers::left_pointing(3, total, false), std::vector<std::string>{});

  inside = load_and_record(module);
  ASSERT_NE(inside, nullptr);
  kept = inside;
  auto block = std::make_unique<const void *volatile>(inside);
  ASSERT_NE(FreeLibrary(module), 0);
  const std::vector<std::string> places = plugin_check::pointers::left_pointing(3, total, false);
  EXPECT_EQ(total, 2U);
  const std::string into = "a pointer into the unloaded plug-in's data stays in ";
  EXPECT_EQ(std::set<std::string>(places.begin(), places.end()),
            (std::set<std::string>{into + "process_state_tests.exe's data",
                                   into + "the heap or memory a library allocated"}));

  kept = nullptr;
  block.reset();
  EXPECT_EQ(plugin_check::pointers::left_pointing(3, total, false), std::vector<std::string>{});
}

}  // namespace
