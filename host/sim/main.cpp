#include <iostream>
#include <string>
#include <vector>

#include "host_sim.hpp"
#include "platform.hpp"
#include "tamrix_host.hpp"

namespace {

// The plug-in of the same build or installation: HOST_SIM_PLUGIN_FROM_BIN is
// its path relative to this program's own folder, the same in both trees.
std::string default_plugin() {
  return tamrix_host::platform::program_folder() + HOST_SIM_PLUGIN_FROM_BIN;
}

}  // namespace

int main(int argc, char **argv) {
  tamrix_host::platform::report_crashes("host-sim");
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tamrix_host::host_sim(args, default_plugin(), std::cout, std::cerr);
}
