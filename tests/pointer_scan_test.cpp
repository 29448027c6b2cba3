// The scan for pointers left into an unloaded library: what the loader and
// the C library leave of a library with nothing in it is no finding, and a
// word the program still holds, in its data or in a live heap block, is one
// until it lets go. Meant for a process of its own, as ctest runs each test,
// as plugin-check runs the check: blocks freed before the wiping began (by
// earlier tests that loaded libraries where this one lands) are not wiped.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "observe/heap_count.hpp"
#include "observe/pointer_scan.hpp"

namespace {

// Where the program keeps its pointer into the library, as a host's global.
const void *volatile kept = nullptr;

struct Loaded {
  void *handle = nullptr;
  const char *inside = nullptr;  // a byte of the library's, past its first
};

Loaded load_and_record() {
  Loaded loaded;
  loaded.handle = dlopen(EMPTY_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test's one thread
  EXPECT_NE(loaded.handle, nullptr) << dlerror();
  link_map *map = nullptr;
  if (loaded.handle != nullptr && dlinfo(loaded.handle, RTLD_DI_LINKMAP, &map) == 0) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the library's own header
    loaded.inside = reinterpret_cast<const char *>(map->l_addr) + 64;
    EXPECT_TRUE(plugin_check::pointers::record_library_of(loaded.inside));
  }
  return loaded;
}

std::vector<std::string> left(bool heap_wiped, std::size_t &total) {
  return plugin_check::pointers::left_pointing(3, total, heap_wiped);
}

TEST(PointerScan, FindsWhatTheProgramStillHoldsAndNothingOnceItLetsGo) {
  const bool wiped = plugin_check::wipe_freed_blocks(true);
  std::size_t total = 0;

  // Loaded and unloaded, untouched: the loader's leftovers are no finding.
  Loaded loaded = load_and_record();
  ASSERT_NE(loaded.inside, nullptr);
  ASSERT_EQ(dlclose(loaded.handle), 0);
  EXPECT_EQ(left(wiped, total), std::vector<std::string>{});

  // Held in the program's data and in a live heap block.
  loaded = load_and_record();
  ASSERT_NE(loaded.inside, nullptr);
  kept = loaded.inside;
  auto block = std::make_unique<const void *volatile>(loaded.inside);
  ASSERT_EQ(dlclose(loaded.handle), 0);
  const std::vector<std::string> places = left(wiped, total);
  ASSERT_FALSE(places.empty());
  // Where the library's header lies in its executable segment (AArch64's
  // linker), the byte is told as code; under qemu the heap is anonymous memory.
  const std::string into = "a pointer into the unloaded plug-in's (code|data) stays in ";
  EXPECT_TRUE(std::regex_search(places.front(), std::regex("^" + into + "the host program's data")))
      << places.front();
  if (wiped) {
    EXPECT_EQ(total, 2U);
    EXPECT_TRUE(std::regex_match(places.back(), std::regex(into + "(the heap|anonymous memory.*)")))
        << places.back();
  }

  // Let go: the global cleared, the block freed (and wiped).
  kept = nullptr;
  block.reset();
  EXPECT_EQ(left(wiped, total), std::vector<std::string>{});
  plugin_check::wipe_freed_blocks(false);
}

}  // namespace
