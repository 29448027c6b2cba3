#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform.hpp"
#include "plugin_check.hpp"

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const int status =
          tamrix_host::platform::run_as_child(plugin_check::run_check_in_child, args);
      status >= 0) {
    return status;
  }
  plugin_check::Options options;
  if (const std::string problem = plugin_check::parse_options(args, options); !problem.empty()) {
    std::cerr << "plugin-check: " << problem << "; " << plugin_check::usage << '\n';
    return 2;
  }
  if (options.help) {
    std::cout << plugin_check::usage << '\n';
    return 0;
  }
  // Opened first, so a report that cannot be written is known before the run.
  std::ofstream junit;
  if (!options.junit_file.empty()) {
    junit.open(options.junit_file);
    if (!junit) {
      std::cerr << "plugin-check: cannot write the JUnit report '" << options.junit_file << "'\n";
      return 2;
    }
  }
  const std::vector<plugin_check::Finding> findings = plugin_check::run_battery(options);
  int status = plugin_check::print_report(findings, std::cout);
  if (junit.is_open()) {
    plugin_check::write_junit(findings, options.plugin, junit);
    junit.close();
    if (!junit) {
      std::cerr << "plugin-check: could not finish the JUnit report '" << options.junit_file
                << "'\n";
      status = 1;
    }
  }
  return status;
}
