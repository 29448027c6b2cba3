#include <iostream>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "sim/ending.hpp"
#include "sim/host_sim.hpp"
#include "tamrix_host.hpp"

namespace {

// The plug-in of the same build or installation: HOST_SIM_PLUGIN_FROM_BIN is
// its path relative to this program's own folder, the same in both trees.
std::string default_plugin() {
  return tamrix_host::platform::program_folder() + HOST_SIM_PLUGIN_FROM_BIN;
}

// Only host-sim stands in front of the C library's exits: a test program that
// runs host_sim() keeps its own.
void watch_endings(const tamrix_host::Plugin &plugin) {
  tamrix_host::report_endings("host-sim", plugin.address(tamrix_host::hook::init));
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  tamrix_host::LifeWatch watch;
  watch.loading = [] { tamrix_host::note_stage(tamrix_host::Stage::loading); };
  watch.loaded = [](const tamrix_host::Plugin &plugin) {
    watch_endings(plugin);
    tamrix_host::note_stage(tamrix_host::Stage::living);
  };
  watch.unloading = [] { tamrix_host::note_stage(tamrix_host::Stage::unloading); };
  return tamrix_host::supervise("host-sim", tamrix_host::timeout_seconds(args), [&args, &watch] {
    return tamrix_host::host_sim(args, default_plugin(), std::cout, std::cerr, watch);
  });
}
