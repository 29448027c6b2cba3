// One whole plug-in life, for instruction counting under callgrind:
//   life PLUGIN [--load-cycle]
// load, set-up, init, 1,000,000 steps of 3 collide calls, 1,000 getBody calls
// (half of them misses), cleanup, unload. With --load-cycle, no steps and no
// getBody calls: what a world reload costs.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "bench_host.hpp"

namespace {

template <typename T>
T *resolve(void *plugin, const char *name) {
  return reinterpret_cast<T *>(dlsym(plugin, name));
}

}  // namespace

int main(int argc, char **argv) {
  const bool load_cycle_only = argc == 3 && std::strcmp(argv[2], "--load-cycle") == 0;
  if (argc != 2 && !load_cycle_only) {
    std::fputs("usage: life PLUGIN [--load-cycle]\n", stderr);
    return 2;
  }
  void *plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    std::fprintf(stderr, "life: %s\n", dlerror());  // NOLINT(concurrency-mt-unsafe)
    return 1;
  }
  auto *set_up = resolve<physics_special_init_fn>(plugin, "physics_special_init");
  auto *get_body = resolve<get_body_fn>(plugin, "getBody");
  auto *init = resolve<tamrix_physics_init_fn>(plugin, "tamrix_physics_init");
  auto *step = resolve<tamrix_physics_step_fn>(plugin, "tamrix_physics_step");
  auto *collide = resolve<tamrix_physics_collide_fn>(plugin, "tamrix_physics_collide");
  auto *cleanup = resolve<tamrix_physics_cleanup_fn>(plugin, "tamrix_physics_cleanup");
  // The table rows too, as a host resolves all thirteen names.
  const char *const rows[] = {
      "dTamrixGetGeomFromDEFProc", "dTamrixGetBodyFromDEFProc", "dTamrixGetContactJointGroupProc",
      "dTamrixSendProc",           "dTamrixReceiveProc",        "dTamrixConsolePrintfProc",
      "dTamrixGetTimeProc"};
  bool rows_found = true;
  for (const char *row : rows) {
    rows_found = rows_found && dlsym(plugin, row) != nullptr;
  }
  if (set_up == nullptr || get_body == nullptr || init == nullptr || step == nullptr ||
      collide == nullptr || cleanup == nullptr || !rows_found) {
    std::fprintf(stderr, "life: %s lacks a hook\n", argv[1]);
    return 1;
  }

  set_up(nullptr, bench_host::body_lookup, nullptr, nullptr, nullptr, bench_host::console_printf,
         nullptr);
  init();
  const long steps = load_cycle_only ? 0 : 1000000;
  const int lookups = load_cycle_only ? 0 : 1000;
  long nonzero = 0;
  for (long i = 0; i < steps; ++i) {
    step();
    nonzero += collide(bench_host::geometry(0), bench_host::geometry(1));
    nonzero += collide(bench_host::geometry(0), bench_host::geometry(2));
    nonzero += collide(bench_host::geometry(1), bench_host::geometry(2));
  }
  long found = 0;
  for (int i = 0; i < lookups; ++i) {
    found += get_body(i % 2 == 0 ? "arm" : "ghost") != nullptr;
  }
  cleanup();
  dlclose(plugin);
  std::printf("life: %ld non-zero collide answers, %ld bodies found, %d console messages\n",
              nonzero, found, bench_host::console_calls);
  return 0;
}
