#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "plugin_fixture.hpp"

namespace {

using ServiceTable = PluginTest;
using tamrix_host::Services;

// Seven distinct functions, one per row, to see which argument lands where.
tamrix_geom_handle geom_lookup(const char * /*def_name*/) { return nullptr; }
tamrix_body_handle body_lookup(const char * /*def_name*/) { return nullptr; }
tamrix_contact_group_handle contact_group() { return nullptr; }
void send(int /*channel*/, const void * /*data*/, std::size_t /*size*/) {}
const void *receive(int /*channel*/, std::size_t * /*size*/) { return nullptr; }
void console_printf(const char * /*format*/, ...) {}
double time() { return 0.0; }

TEST_F(ServiceTable, EveryRowIsNullAfterLoad) {
  EXPECT_EQ(*plugin.geom_lookup_row, nullptr);
  EXPECT_EQ(*plugin.body_lookup_row, nullptr);
  EXPECT_EQ(*plugin.contact_group_row, nullptr);
  EXPECT_EQ(*plugin.send_row, nullptr);
  EXPECT_EQ(*plugin.receive_row, nullptr);
  EXPECT_EQ(*plugin.console_printf_row, nullptr);
  EXPECT_EQ(*plugin.time_row, nullptr);
}

TEST_F(ServiceTable, EachArgumentLandsInItsOwnRow) {
  set_up(plugin, {geom_lookup, body_lookup, contact_group, send, receive, console_printf, time});
  EXPECT_EQ(*plugin.geom_lookup_row, &geom_lookup);
  EXPECT_EQ(*plugin.body_lookup_row, &body_lookup);
  EXPECT_EQ(*plugin.contact_group_row, &contact_group);
  EXPECT_EQ(*plugin.send_row, &send);
  EXPECT_EQ(*plugin.receive_row, &receive);
  EXPECT_EQ(*plugin.console_printf_row, &console_printf);
  EXPECT_EQ(*plugin.time_row, &time);

  // Null is stored as given, over a full table.
  set_up(plugin, {});
  EXPECT_EQ(*plugin.geom_lookup_row, nullptr);
  EXPECT_EQ(*plugin.console_printf_row, nullptr);
}

TEST_F(ServiceTable, NullStoredOnlyRowsHarmNothingOverAWholeLife) {
  Services services = tamrix_host::Host::services();
  services.geom_lookup = nullptr;
  services.contact_group = nullptr;
  services.send = nullptr;
  services.receive = nullptr;
  services.time = nullptr;
  set_up(plugin, services);

  plugin.call(hook::init);
  EXPECT_EQ(plugin.call(hook::get_body, "arm"), host.body("arm"));
  EXPECT_EQ(plugin.call(hook::get_body, "ghost"), nullptr);
  for (int step = 0; step < 100; ++step) {
    plugin.call(hook::step);
    EXPECT_EQ(plugin.call(hook::collide, host.geometry("arm"), host.geometry("floor")), 0);
  }
  plugin.call(hook::cleanup);
  EXPECT_EQ(console_texts(), (std::vector<std::string>{
                                 "not found", "Warning: did not find body with DEF name: ghost"}));
}

// A second host whose services record into plain vectors, to tell apart.
std::vector<std::string> second_lookups;
std::vector<std::string> second_console;
tamrix_body_handle second_body_lookup(const char *name) {
  second_lookups.emplace_back(name);
  return nullptr;
}
void second_console_printf(const char *format, ...) { second_console.emplace_back(format); }

TEST_F(ServiceTable, SecondSetUpRedirectsInitAndGetBody) {
  set_up_host();
  plugin.call(hook::init);
  plugin.call(hook::cleanup);
  ASSERT_EQ(looked_up().size(), 1U);

  second_lookups.clear();
  second_console.clear();
  Services services = tamrix_host::Host::services();
  services.body_lookup = second_body_lookup;
  services.console_printf = second_console_printf;
  set_up(plugin, services);
  plugin.call(hook::init);
  EXPECT_EQ(plugin.call(hook::get_body, "arm"), nullptr);
  plugin.call(hook::cleanup);

  EXPECT_EQ(second_lookups, (std::vector<std::string>{"body1", "arm"}));
  EXPECT_EQ(second_console, (std::vector<std::string>{"not found", warning_format}));
  EXPECT_EQ(looked_up().size(), 1U) << "the first host was called after it was replaced";
  EXPECT_EQ(console_texts().size(), 1U);
}

// The export list the linker applies must name exactly the contract's
// thirteen: the host resolves these, and the file checks look for them.
TEST(Contract, ExportListNamesExactlyTheContract) {
  std::ifstream map(EXPORTS_MAP_PATH);
  ASSERT_TRUE(map) << "cannot read " << EXPORTS_MAP_PATH;
  std::set<std::string> listed;
  bool global = false;
  for (std::string word; map >> word;) {
    if (word == "global:" || word == "local:") {
      global = word == "global:";
    } else if (global && word.back() == ';') {
      listed.insert(word.substr(0, word.size() - 1));
    }
  }
  const std::set<std::string> contract(tamrix_host::contract::names.begin(),
                                       tamrix_host::contract::names.end());
  EXPECT_EQ(listed, contract);
  EXPECT_EQ(contract.size(), 13U) << "a name stands twice in the contract's lists";
}

// The scripts that read the built file with the platform's own tools expect
// the same thirteen, the rows as data and the functions as code.
TEST(Contract, FileScriptsExpectExactlyTheContract) {
  std::set<std::string> contract;
  for (const char *row : tamrix_host::contract::row_names) {
    contract.insert(std::string("data ") + row);
  }
  for (const char *function : tamrix_host::contract::function_names) {
    contract.insert(std::string("function ") + function);
  }
  std::istringstream scripts(EXPORT_SCRIPTS);
  for (std::string path; std::getline(scripts, path, '|');) {
    std::ifstream script(path);
    ASSERT_TRUE(script) << "cannot read " << path;
    std::set<std::string> expected;
    bool in_list = false;
    for (std::string line; std::getline(script, line);) {
      if (line.rfind("expected=\"", 0) == 0) {
        in_list = true;
        line.erase(0, line.find('"') + 1);
      }
      if (in_list) {
        in_list = line.back() != '"';
        expected.insert(in_list ? line : line.substr(0, line.size() - 1));
      }
    }
    EXPECT_EQ(expected, contract) << path;
  }
}

}  // namespace
