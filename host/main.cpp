#include <unistd.h>
#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "tamrix_host.hpp"

namespace {

// The plug-in of the same build or installation: HOST_SIM_PLUGIN_FROM_BIN is
// its path relative to this program's own folder, the same in both trees.
std::string default_plugin() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    return HOST_SIM_PLUGIN_FROM_BIN;
  }
  std::string path(self, static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + HOST_SIM_PLUGIN_FROM_BIN;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tamrix_host::host_sim(args, default_plugin(), std::cout, std::cerr);
}
