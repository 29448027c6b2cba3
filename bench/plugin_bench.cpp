// my_physics1 beside an empty reference plug-in built with the same flags, in
// one run: every hook, getBody against the host calls it wraps, and the whole
// load cycle; then file size and writable data. That the plug-in allocates
// nothing is plugin-check's to prove (step-collide-no-heap, heap-balanced).
//
//   plugin_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <elf.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench_host.hpp"
#include "tamrix_host.hpp"

namespace {

using tamrix_host::Plugin;
namespace hook = tamrix_host::hook;

const tamrix_host::Services bench_services = {nullptr, bench_host::body_lookup,    nullptr, nullptr,
                                              nullptr, bench_host::console_printf, nullptr};

// Called through pointers, as the plug-in calls them, so neither side inlines.
tamrix_body_lookup_fn *volatile direct_lookup = bench_host::body_lookup;
tamrix_console_printf_fn *volatile direct_printf = bench_host::console_printf;

constexpr const char *warning_format = "Warning: did not find body with DEF name: %s";

// The hooks are called unnamed: what is measured is the plug-in's own cost,
// not the naming a host does around each call.
// Each measure loads its plug-in itself, so the load cycle below really loads.
void collide(benchmark::State &state, const std::string *path) {
  const Plugin plugin(*path);
  const tamrix_geom_handle first = bench_host::geometry(0);
  const tamrix_geom_handle second = bench_host::geometry(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(plugin.call(hook::collide.unnamed(), first, second));
  }
}

void step(benchmark::State &state, const std::string *path) {
  const Plugin plugin(*path);
  for (auto _ : state) {
    plugin.call(hook::step.unnamed());
    benchmark::ClobberMemory();
  }
}

void get_body(benchmark::State &state, const std::string *path, const char *name) {
  const Plugin plugin(*path);
  set_up(plugin, bench_services);
  for (auto _ : state) {
    benchmark::DoNotOptimize(plugin.call(hook::get_body.unnamed(), name));
  }
}

// What a caller would write without getBody: the same two host calls.
void get_body_direct(benchmark::State &state, const char *name) {
  for (auto _ : state) {
    tamrix_body_handle body = direct_lookup(name);
    if (body == nullptr) {
      direct_printf(warning_format, name);
    }
    benchmark::DoNotOptimize(body);
  }
}

void init_cleanup(benchmark::State &state, const std::string *path) {
  const Plugin plugin(*path);
  set_up(plugin, bench_services);
  for (auto _ : state) {
    plugin.call(hook::init.unnamed());
    plugin.call(hook::cleanup.unnamed());
  }
}

// The calls that start-up and clean-up must make, made by the host itself.
void init_cleanup_direct(benchmark::State &state) {
  static pthread_mutex_t mutex;
  for (auto _ : state) {
    pthread_mutex_init(&mutex, nullptr);
    if (direct_lookup("body1") == nullptr) {
      direct_printf("not found");
    }
    pthread_mutex_destroy(&mutex);
  }
}

void load_cycle(benchmark::State &state, const std::string *path) {
  for (auto _ : state) {
    const Plugin plugin(*path);  // dlopen and all thirteen names
    set_up(plugin, bench_services);
    plugin.call(hook::init.unnamed());
    plugin.call(hook::cleanup.unnamed());
  }  // dlclose
}

// Records each measure's time; with --benchmark_repetitions, the median.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration && !medians_.contains(name)) {
        times[name] = run.GetAdjustedRealTime();
      } else if (run.aggregate_name == "median") {
        times[name] = run.GetAdjustedRealTime();
        medians_[name] = true;
      }
    }
  }

  std::map<std::string, double> times;  // nanoseconds

 private:
  std::map<std::string, bool> medians_;
};

// Size of .data plus .bss, read from the file's section headers.
std::size_t writable_data_size(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  Elf64_Ehdr header{};
  std::memcpy(&header, bytes.data(), sizeof header);
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), bytes.data() + header.e_shoff, header.e_shnum * sizeof(Elf64_Shdr));
  const char *names = bytes.data() + sections[header.e_shstrndx].sh_offset;
  std::size_t size = 0;
  for (const Elf64_Shdr &section : sections) {
    const std::string name = names + section.sh_name;
    if (name == ".data" || name == ".bss") {
      size += section.sh_size;
    }
  }
  return size;
}

void print_row(const char *measure, double mine, double theirs, const char *unit) {
  std::printf("%-34s %14.2f %14.2f %8.3f  %s\n", measure, mine, theirs,
              theirs > 0 ? mine / theirs : 0.0, unit);
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mine_path = MY_PHYSICS1_PATH;
  const std::string reference_path = REFERENCE_PLUGIN_PATH;

  using benchmark::RegisterBenchmark;
  RegisterBenchmark("collide/my_physics1", collide, &mine_path);
  RegisterBenchmark("collide/reference", collide, &reference_path);
  RegisterBenchmark("step/my_physics1", step, &mine_path);
  RegisterBenchmark("step/reference", step, &reference_path);
  RegisterBenchmark("getBody_hit/my_physics1", get_body, &mine_path, "arm");
  RegisterBenchmark("getBody_hit/direct", get_body_direct, "arm");
  RegisterBenchmark("getBody_hit/reference", get_body, &reference_path, "arm");
  RegisterBenchmark("getBody_miss/my_physics1", get_body, &mine_path, "ghost");
  RegisterBenchmark("getBody_miss/direct", get_body_direct, "ghost");
  RegisterBenchmark("getBody_miss/reference", get_body, &reference_path, "ghost");
  RegisterBenchmark("init_cleanup/my_physics1", init_cleanup, &mine_path);
  RegisterBenchmark("init_cleanup/reference", init_cleanup, &reference_path);
  RegisterBenchmark("init_cleanup/direct", init_cleanup_direct);
  RegisterBenchmark("load_cycle/my_physics1", load_cycle, &mine_path);
  RegisterBenchmark("load_cycle/reference", load_cycle, &reference_path);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 2;
  }
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto &t = reporter.times;
  std::printf("\n%-34s %14s %14s %8s\n", "measure", "my_physics1", "reference", "ratio");
  const std::pair<const char *, const char *> pairs[] = {
      {"collide", "reference"},    {"step", "reference"},      {"getBody_hit", "direct"},
      {"getBody_miss", "direct"},  {"init_cleanup", "direct"}, {"init_cleanup", "reference"},
      {"load_cycle", "reference"},
  };
  for (const auto &[measure, against] : pairs) {
    const std::string name = measure;
    const std::string label = name + " (against " + against + ")";
    if (t.contains(name + "/my_physics1") && t.contains(name + "/" + against)) {
      print_row(label.c_str(), t[name + "/my_physics1"], t[name + "/" + against], "ns");
    }
  }
  // A wrapper cannot cost less than the host calls it makes plus one call of
  // an empty function in a shared library: the reference plug-in's.
  for (const std::string name : {"getBody_hit", "getBody_miss", "init_cleanup"}) {
    const std::string label = name + " (direct + empty call)";
    if (t.contains(name + "/my_physics1") && t.contains(name + "/direct") &&
        t.contains(name + "/reference")) {
      print_row(label.c_str(), t[name + "/my_physics1"],
                t[name + "/direct"] + t[name + "/reference"], "ns");
    }
  }
  print_row("stripped file", static_cast<double>(std::filesystem::file_size(MY_PHYSICS1_STRIPPED)),
            static_cast<double>(std::filesystem::file_size(REFERENCE_STRIPPED)), "bytes");
  print_row(".data + .bss", static_cast<double>(writable_data_size(mine_path)),
            static_cast<double>(writable_data_size(reference_path)), "bytes");
  return 0;
}
