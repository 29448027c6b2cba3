// Every allocating entry point of the C library and every form of operator
// new is counted, once, and its free too: a plug-in that allocates through
// any of them must not slip past step-collide-no-heap or heap-balanced.
#include <gtest/gtest.h>
#include <malloc.h>
#include <ode/ode.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "observe/heap_count.hpp"
#include "tamrix_host.hpp"

// The C library's own names for its allocator, which a plug-in may call.
extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier)
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void *__libc_valloc(std::size_t size);
void *__libc_pvalloc(std::size_t size);
void __libc_free(void *pointer);
// NOLINTEND(bugprone-reserved-identifier)
}

namespace {

// Where each block goes, so the compiler cannot leave out an allocation.
void *volatile sink = nullptr;

struct EntryPoint {
  const char *name;
  void *(*allocate)();
  void (*release)(void *block);
  bool once = true;  // false where the C library may resize what it made
};

void c_free(void *block) { std::free(block); }  // NOLINT(cppcoreguidelines-no-malloc)
void libc_free(void *block) { __libc_free(block); }

void *printed() {
  char *text = nullptr;
  return asprintf(&text, "%d", 42) > 0 ? text : nullptr;
}

TEST(HeapCount, CountsEveryEntryPointAndItsFree) {
  if (std::string why_not; !plugin_check::heap_counting_available(why_not)) {
    GTEST_SKIP() << why_not;
  }
  // NOLINTBEGIN(cppcoreguidelines-owning-memory,cppcoreguidelines-no-malloc)
  const std::vector<EntryPoint> entry_points = {
      {"malloc", [] { return std::malloc(16); }, c_free},
      {"calloc", [] { return std::calloc(2, 16); }, c_free},
      {"realloc of null", [] { return std::realloc(nullptr, 16); }, c_free},
      {"reallocarray of null", [] { return reallocarray(nullptr, 2, 16); }, c_free},
      {"aligned_alloc", [] { return std::aligned_alloc(64, 64); }, c_free},
      {"posix_memalign",
       [] {
         void *block = nullptr;
         return posix_memalign(&block, 64, 16) == 0 ? block : nullptr;
       },
       c_free},
      {"memalign", [] { return memalign(64, 16); }, c_free},
      {"valloc", [] { return valloc(16); }, c_free},  // NOLINT(concurrency-mt-unsafe)
      {"pvalloc", [] { return pvalloc(16); }, c_free},
      {"__libc_malloc", [] { return __libc_malloc(16); }, libc_free},
      {"__libc_calloc", [] { return __libc_calloc(2, 16); }, libc_free},
      {"__libc_realloc of null", [] { return __libc_realloc(nullptr, 16); }, libc_free},
      {"__libc_memalign", [] { return __libc_memalign(64, 16); }, c_free},
      {"__libc_valloc", [] { return __libc_valloc(16); }, libc_free},
      {"__libc_pvalloc", [] { return __libc_pvalloc(16); }, c_free},
      // The C library's own allocating calls reach the count through malloc.
      {"strdup", [] { return static_cast<void *>(strdup("text")); }, c_free},
      {"strndup", [] { return static_cast<void *>(strndup("text", 2)); }, libc_free},
      {"asprintf", printed, c_free, false},
      {"new", [] { return static_cast<void *>(new char); },
       [](void *block) { delete static_cast<char *>(block); }},
      {"new[]", [] { return static_cast<void *>(new char[16]); },
       [](void *block) { delete[] static_cast<char *>(block); }},
      {"new nothrow", [] { return static_cast<void *>(new (std::nothrow) char); },
       [](void *block) { delete static_cast<char *>(block); }},
      {"new aligned", [] { return ::operator new (64, std::align_val_t{128}); },
       [](void *block) { ::operator delete (block, std::align_val_t{128}); }},
      {"new[] aligned nothrow",
       [] { return ::operator new[](64, std::align_val_t{128}, std::nothrow); },
       [](void *block) { ::operator delete[](block, std::align_val_t{128}); }},
  };
  // NOLINTEND(cppcoreguidelines-owning-memory,cppcoreguidelines-no-malloc)
  for (const EntryPoint &entry : entry_points) {
    plugin_check::count_heap(true);
    sink = entry.allocate();
    const long calls = plugin_check::heap_calls();
    const long held = plugin_check::heap_outstanding();
    const long held_bytes = plugin_check::heap_outstanding_bytes();
    entry.release(sink);
    const long left = plugin_check::heap_outstanding();
    const long left_bytes = plugin_check::heap_outstanding_bytes();
    plugin_check::count_heap(false);
    if (entry.once) {
      EXPECT_EQ(calls, 1) << entry.name;
    } else {
      EXPECT_GE(calls, 1) << entry.name;
    }
    EXPECT_EQ(held, 1) << entry.name;
    EXPECT_GE(held_bytes, 1) << entry.name;
    EXPECT_EQ(left, 0) << entry.name;
    EXPECT_EQ(left_bytes, 0) << entry.name;
  }
}

TEST(HeapCount, ReallocToZeroFreesAndPausingKeepsTheCount) {
  if (std::string why_not; !plugin_check::heap_counting_available(why_not)) {
    GTEST_SKIP() << why_not;
  }
  plugin_check::count_heap(true);
  sink = std::malloc(16);  // NOLINT(cppcoreguidelines-no-malloc)
  plugin_check::count_heap(false);
  sink = std::realloc(sink, 64);  // NOLINT(cppcoreguidelines-no-malloc): not counted
  plugin_check::resume_heap_count();
  EXPECT_EQ(plugin_check::heap_calls(), 1);
  sink = std::realloc(sink, 0);  // NOLINT(cppcoreguidelines-no-malloc): frees it
  plugin_check::count_heap(false);
  EXPECT_EQ(plugin_check::heap_calls(), 2);
  EXPECT_EQ(plugin_check::heap_outstanding(), 0);
}

// A buffer grown life after life is a leak in bytes, not in blocks.
TEST(HeapCount, ReallocCountsTheBytesABlockGrows) {
  if (std::string why_not; !plugin_check::heap_counting_available(why_not)) {
    GTEST_SKIP() << why_not;
  }
  plugin_check::count_heap(true);
  sink = std::malloc(16);           // NOLINT(cppcoreguidelines-no-malloc)
  sink = std::realloc(sink, 4096);  // NOLINT(cppcoreguidelines-no-malloc)
  const long held = plugin_check::heap_outstanding();
  const long held_bytes = plugin_check::heap_outstanding_bytes();
  const auto grown = static_cast<long>(malloc_usable_size(sink));
  sink = std::realloc(sink, 0);  // NOLINT(cppcoreguidelines-no-malloc): frees it
  plugin_check::count_heap(false);
  EXPECT_EQ(held, 1);
  EXPECT_EQ(held_bytes, grown);
  EXPECT_GE(grown, 4096);
  EXPECT_EQ(plugin_check::heap_outstanding_bytes(), 0);
}

// heap-balanced names the call that made what a life keeps: thousands of
// blocks made under two tags and most freed in an order of their own must
// leave exactly the rest, each under its tag, however the table's slots met.
TEST(HeapCount, EachBlockStillHeldIsKeptUnderTheTagItWasMadeWith) {
  if (std::string why_not; !plugin_check::heap_counting_available(why_not)) {
    GTEST_SKIP() << why_not;
  }
  constexpr std::size_t count = 3000;
  std::vector<void *> blocks(2 * count);
  plugin_check::count_heap(true);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    plugin_check::tag_heap(1 + static_cast<int>(i % 2));
    blocks[i] = std::malloc(16);  // NOLINT(cppcoreguidelines-no-malloc)
  }
  const auto shuffled = [&blocks](std::size_t i) -> void *& {
    return blocks[(i * 7919) % blocks.size()];  // 7919 is prime: every block once
  };
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i % 3 != 0) {
      std::free(shuffled(i));  // NOLINT(cppcoreguidelines-no-malloc)
      shuffled(i) = nullptr;
    }
  }
  plugin_check::tag_heap(3);
  blocks[0] = std::realloc(blocks[0], 4096);  // NOLINT(cppcoreguidelines-no-malloc): kept
  plugin_check::count_heap(false);
  long kept_bytes = 0;
  for (void *block : blocks) {
    kept_bytes += block != nullptr ? static_cast<long>(malloc_usable_size(block)) : 0;
  }
  std::array<long, 4> bytes{};
  const std::array<long, 4> held = {0, plugin_check::heap_held_from(1, bytes[1]),
                                    plugin_check::heap_held_from(2, bytes[2]),
                                    plugin_check::heap_held_from(3, bytes[3])};
  for (void *block : blocks) {
    std::free(block);  // NOLINT(cppcoreguidelines-no-malloc)
  }
  EXPECT_EQ(held[1] + held[2], static_cast<long>(2 * count / 3) - 1);
  EXPECT_EQ(held[3], 1);  // the block resized under tag 3 is held from there
  EXPECT_EQ(held[1] + held[2] + held[3], plugin_check::heap_outstanding());
  EXPECT_EQ(bytes[1] + bytes[2] + bytes[3], kept_bytes);
  EXPECT_EQ(kept_bytes, plugin_check::heap_outstanding_bytes());
}

// plugin-check counts a hook's heap calls with the host's services in reach,
// so recording a service call must not allocate once room is made.
TEST(HeapCount, HostServiceCallsAllocateNothingAfterReserve) {
  if (std::string why_not; !plugin_check::heap_counting_available(why_not)) {
    GTEST_SKIP() << why_not;
  }
  tamrix_host::Host host;
  host.queue_message(1, "ping");
  const auto services = tamrix_host::Host::services();
  host.reserve(64, 4096);
  std::size_t size = 0;
  plugin_check::count_heap(true);
  for (int i = 0; i < 10; ++i) {
    services.body_lookup("arm");
    services.geom_lookup("floor");
    services.contact_group();
    services.send(2, "pong", 4);
    services.receive(1, &size);
    services.console_printf("step %d at %g: %s", i, services.time(), "a text that needs no heap");
  }
  plugin_check::count_heap(false);
  EXPECT_EQ(plugin_check::heap_calls(), 0);
  EXPECT_EQ(host.call_count(), 70U);
}

// A plug-in that makes a few contacts per pair in collide must allocate
// nothing there: the engine world's contact group has its memory before the
// first step.
TEST(HeapCount, TheEngineContactGroupHasItsMemoryBeforeTheFirstStep) {
  if (std::string why_not; !plugin_check::heap_counting_available(why_not)) {
    GTEST_SKIP() << why_not;
  }
  tamrix_host::Engine engine;
  engine.bodies = {tamrix_host::EngineBody{.name = "box", .position = {0, 0, 2}}};
  engine.geometries = {tamrix_host::EngineGeometry{.name = "floor"}};
  tamrix_host::World world;
  world.engine = engine;
  const tamrix_host::Host host(world);
  auto *group = reinterpret_cast<dJointGroupID>(host.contact_group());
  auto *box = reinterpret_cast<dBodyID>(host.body("box"));
  dContact contact{};
  plugin_check::count_heap(true);
  for (int i = 0; i < 16; ++i) {
    dJointAttach(dJointCreateContact(host.engine_world(), group, &contact), box, nullptr);
  }
  plugin_check::count_heap(false);
  dJointGroupEmpty(group);
  EXPECT_EQ(plugin_check::heap_calls(), 0);
}

}  // namespace
