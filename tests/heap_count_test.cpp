// Every allocating entry point of the C library and every form of operator
// new is counted, once, and its free too: a plug-in that allocates through
// any of them must not slip past step-collide-no-heap or heap-balanced.
#include <gtest/gtest.h>
#include <malloc.h>
#include <ode/ode.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "sandbox/heap_count.hpp"
#include "tamrix_host.hpp"

namespace {

// Where each block goes, so the compiler cannot leave out an allocation.
void *volatile sink = nullptr;

struct EntryPoint {
  const char *name;
  void *(*allocate)();
  void (*release)(void *block);
};

void c_free(void *block) { std::free(block); }  // NOLINT(cppcoreguidelines-no-malloc)

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
    entry.release(sink);
    const long left = plugin_check::heap_outstanding();
    plugin_check::count_heap(false);
    EXPECT_EQ(calls, 1) << entry.name;
    EXPECT_EQ(held, 1) << entry.name;
    EXPECT_EQ(left, 0) << entry.name;
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
