// The scan for pointers left into an unloaded library: what the loader and
// the C library leave of a library with nothing in it is no finding, and a
// word the program still holds, in its data or in a live heap block, is one
// until it lets go. Meant for a process of its own, as ctest runs each test,
// as plugin-check runs the check: blocks freed before the wiping began (by
// earlier tests that loaded libraries where this one lands) are not wiped.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
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

// Zeroed data large enough to end in anonymous memory, which the kernel
// joins with anonymous memory mapped just after it.
char zeroed_data[1 << 16];

// The first page after the program's own writable data.
std::uintptr_t after_program_data() {
  std::uintptr_t end = 0;
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *data) {
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) &segment = info->dlpi_phdr[i];
          if (segment.p_type == PT_LOAD && (segment.p_flags & PF_W) != 0) {
            *static_cast<std::uintptr_t *>(data) =
                info->dlpi_addr + segment.p_vaddr + segment.p_memsz;
          }
        }
        return 1;  // the program comes first
      },
      &end);
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return (end + page - 1) / page * page;
}

// Where the heap is not wiped, only the libraries' data is read: a
// sanitizer's records, which name every address it saw, may be mapped right
// after a library's and joined to it, and are not the host's.
TEST(PointerScan, UnwipedReadsNoMemoryJoinedToALibrarysData) {
  zeroed_data[0] = 1;
  const std::uintptr_t at = after_program_data();
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the page just after the program's data
  void *joined = mmap(reinterpret_cast<void *>(at), page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (reinterpret_cast<std::uintptr_t>(joined) != at) {
    GTEST_SKIP() << "the page after the program's data is taken";
  }
  bool one_mapping = false;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const std::uintptr_t first = std::stoull(line, nullptr, 16);
    const std::uintptr_t end = std::stoull(line.substr(line.find('-') + 1), nullptr, 16);
    one_mapping = one_mapping || (first < at && at < end);
  }
  Loaded loaded = load_and_record();
  ASSERT_NE(loaded.inside, nullptr);
  *static_cast<const void *volatile *>(joined) = loaded.inside;
  ASSERT_EQ(dlclose(loaded.handle), 0);
  std::size_t total = 0;
  EXPECT_EQ(left(false, total), std::vector<std::string>{});
  munmap(joined, page);
  if (!one_mapping) {
    GTEST_SKIP() << "the kernel kept the page apart from the program's data";
  }
}

}  // namespace
