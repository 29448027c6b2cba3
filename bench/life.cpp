// One whole plug-in life, for instruction counting under callgrind:
//   life PLUGIN [--load-cycle]
// load, set-up, init, 1,000,000 steps of 3 collide calls, 1,000 getBody calls
// (half of them misses), cleanup, unload. With --load-cycle, no steps and no
// getBody calls: what a world reload costs.
#include <cstdio>
#include <cstring>

#include "bench_host.hpp"
#include "tamrix_host.hpp"

namespace hook = tamrix_host::hook;

struct Tally {
  long nonzero = 0;
  long found = 0;
};

// Everything from load to unload, and nothing else: bench/run counts the
// instructions of this function alone (callgrind's --toggle-collect=life_run*).
static __attribute__((noinline)) Tally life_run(const char *path, long steps, int lookups) {
  Tally tally;
  const tamrix_host::Plugin plugin(path);  // dlopen and all thirteen names
  set_up(plugin, {nullptr, bench_host::body_lookup, nullptr, nullptr, nullptr,
                  bench_host::console_printf, nullptr});
  plugin.call(hook::init.unnamed());
  for (long i = 0; i < steps; ++i) {
    plugin.call(hook::step.unnamed());
    tally.nonzero +=
        plugin.call(hook::collide.unnamed(), bench_host::geometry(0), bench_host::geometry(1));
    tally.nonzero +=
        plugin.call(hook::collide.unnamed(), bench_host::geometry(0), bench_host::geometry(2));
    tally.nonzero +=
        plugin.call(hook::collide.unnamed(), bench_host::geometry(1), bench_host::geometry(2));
  }
  for (int i = 0; i < lookups; ++i) {
    tally.found += plugin.call(hook::get_body.unnamed(), i % 2 == 0 ? "arm" : "ghost") != nullptr;
  }
  plugin.call(hook::cleanup.unnamed());
  return tally;
}  // dlclose

int main(int argc, char **argv) {
  const bool load_cycle_only = argc == 3 && std::strcmp(argv[2], "--load-cycle") == 0;
  if (argc != 2 && !load_cycle_only) {
    std::fputs("usage: life PLUGIN [--load-cycle]\n", stderr);
    return 2;
  }
  try {
    const Tally tally =
        life_run(argv[1], load_cycle_only ? 0 : 1000000, load_cycle_only ? 0 : 1000);
    std::printf("life: %ld non-zero collide answers, %ld bodies found, %d console messages\n",
                tally.nonzero, tally.found, bench_host::console_calls);
  } catch (const tamrix_host::LoadError &error) {
    std::fprintf(stderr, "life: %s\n", error.what());
    return 1;
  }
  return 0;
}
