// A freshly loaded plug-in beside a recording host, for every test group.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tamrix_host.hpp"

class PluginTest : public ::testing::Test {
 private:
  // One string member of each record the host kept.
  template <typename Record>
  static std::vector<std::string> strings(const std::vector<Record> &records,
                                          std::string Record::*member) {
    std::vector<std::string> values(records.size());
    std::transform(records.begin(), records.end(), values.begin(),
                   [member](const Record &record) { return record.*member; });
    return values;
  }

 protected:
  explicit PluginTest(tamrix_host::World world = tamrix_host::World::standard())
      : host(std::move(world)) {}

  void set_up_host() { tamrix_host::set_up(plugin, tamrix_host::Host::services()); }

  [[nodiscard]] std::vector<std::string> console_texts() const {
    return strings(host.console(), &tamrix_host::ConsoleMessage::text);
  }

  [[nodiscard]] std::vector<std::string> looked_up() const {
    return strings(host.body_lookups(), &tamrix_host::BodyLookup::name);
  }

  // Declared first so it outlives the plug-in that may call it.
  tamrix_host::Host host;
  // dlclose() at the end of each test unloads it, so every test starts from load.
  tamrix_host::Plugin plugin{MY_PHYSICS1_PATH};
};

namespace hook = tamrix_host::hook;

inline constexpr const char *warning_format = "Warning: did not find body with DEF name: %s";
