// A freshly loaded plug-in beside a recording host, for every test group.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tamrix_host.hpp"

class PluginTest : public ::testing::Test {
 protected:
  explicit PluginTest(tamrix_host::World world = tamrix_host::World::standard())
      : host(std::move(world)) {}

  void set_up_host() { tamrix_host::install(plugin, tamrix_host::Host::services()); }

  [[nodiscard]] std::vector<std::string> console_texts() const {
    const auto console = host.console();
    std::vector<std::string> texts(console.size());
    std::transform(console.begin(), console.end(), texts.begin(),
                   [](const auto &message) { return message.text; });
    return texts;
  }

  [[nodiscard]] std::vector<std::string> looked_up() const {
    const auto lookups = host.body_lookups();
    std::vector<std::string> names(lookups.size());
    std::transform(lookups.begin(), lookups.end(), names.begin(),
                   [](const auto &lookup) { return lookup.name; });
    return names;
  }

  // Declared first so it outlives the plug-in that may call it.
  tamrix_host::Host host;
  // dlclose() at the end of each test unloads it, so every test starts from load.
  tamrix_host::Plugin plugin{MY_PHYSICS1_PATH};
};

inline constexpr const char *warning_format = "Warning: did not find body with DEF name: %s";
