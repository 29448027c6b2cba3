// host-sim's stepping of an engine world with an empty plug-in, against the
// same world stepped by the engine alone: the same collision, contacts and
// step code with no plug-in calls and no record. Both run in one process,
// interleaved step by step so that a busy machine slows both alike, and the
// cost of the host is reported as their ratio. Two worlds: 50 boxes with the
// exact solver, and 1,000 with the quick one.
//
//   engine_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "fixture/engine_world.hpp"
#include "tamrix_host.hpp"

namespace {

using tamrix_host::Engine;
using tamrix_host::EngineBody;
using tamrix_host::EngineGeometry;
using tamrix_host::Host;
using tamrix_host::Plugin;
using tamrix_host::World;

// Boxes resting on a floor, a little apart, `columns` to a row: a candidate
// pair and four contacts per box a step.
Engine boxes(int count, int columns, tamrix_host::Solver solver) {
  Engine engine;
  engine.solver = solver;
  for (int i = 0; i < count; ++i) {
    EngineBody body;
    body.name = "box" + std::to_string(i);
    const int column = i % columns;
    const int row = i / columns;  // whole rows: a grid, 1.5 m apart
    body.position = {1.5 * column, 1.5 * row, 0.5};
    engine.bodies.push_back(body);
  }
  engine.geometries = {EngineGeometry{.name = "floor"}};
  return engine;
}

Engine fifty_boxes() { return boxes(50, 10, tamrix_host::Solver::exact); }

Engine thousand_boxes() { return boxes(1000, 40, tamrix_host::Solver::quick); }

World world_of(const Engine &engine) {
  World made;
  made.engine = engine;
  return made;
}

// What the engine does with no plug-in: the host's own contacts for every pair.
int host_contacts(void * /*context*/, void * /*first*/, void * /*second*/, std::size_t /*a*/,
                  std::size_t /*b*/) {
  return 0;
}

struct Settled {
  explicit Settled(const Engine &world)
      : host(world_of(world)), engine(world), plugin(REFERENCE_PLUGIN_PATH) {
    host.record_steps(false);  // as host-sim runs
    host.set_up(plugin);
    host.init(plugin);
    // Past the first landings, to the steady state a long run spends its time in.
    for (int step = 0; step < 100; ++step) {
      host.step(plugin);
      engine.collide(host_contacts, nullptr);
      engine.advance(world_step);
    }
  }
  static constexpr double world_step = 0.01;
  Host host;
  tamrix_host::EngineWorld engine;
  Plugin plugin;
};

template <Engine (*Make)()>
void host_sim_step(benchmark::State &state) {
  Settled world(Make());
  for (auto _ : state) {
    world.host.step(world.plugin);
  }
}

template <Engine (*Make)()>
void engine_alone_step(benchmark::State &state) {
  Settled world(Make());
  for (auto _ : state) {
    world.engine.collide(host_contacts, nullptr);
    world.engine.advance(Settled::world_step);
  }
}

// Both, each step timed on its own, one after the other.
template <Engine (*Make)()>
void side_by_side(benchmark::State &state) {
  using Clock = std::chrono::steady_clock;
  Settled world(Make());
  Clock::duration host{};
  Clock::duration engine{};
  for (auto _ : state) {
    const auto start = Clock::now();
    world.host.step(world.plugin);
    const auto middle = Clock::now();
    world.engine.collide(host_contacts, nullptr);
    world.engine.advance(Settled::world_step);
    const auto end = Clock::now();
    host += middle - start;
    engine += end - middle;
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["host_us"] = std::chrono::duration<double, std::micro>(host).count() / iterations;
  state.counters["engine_us"] =
      std::chrono::duration<double, std::micro>(engine).count() / iterations;
  state.counters["ratio"] = static_cast<double>(host.count()) / static_cast<double>(engine.count());
}

BENCHMARK(host_sim_step<fifty_boxes>)->Name("engine world of 50 bodies: host-sim step");
BENCHMARK(engine_alone_step<fifty_boxes>)->Name("engine world of 50 bodies: engine alone");
BENCHMARK(side_by_side<fifty_boxes>)->Name("engine world of 50 bodies: host-sim / engine");
BENCHMARK(host_sim_step<thousand_boxes>)
    ->Name("engine world of 1,000 bodies, quick solver: host-sim step");
BENCHMARK(engine_alone_step<thousand_boxes>)
    ->Name("engine world of 1,000 bodies, quick solver: engine alone");
BENCHMARK(side_by_side<thousand_boxes>)
    ->Name("engine world of 1,000 bodies, quick solver: host-sim / engine");

}  // namespace

BENCHMARK_MAIN();
