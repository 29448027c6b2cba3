#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "exit_status.hpp"
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
    return tamrix_host::exit_status::usage;
  }
  if (options.help) {
    std::cout << plugin_check::help_text();
    return tamrix_host::exit_status::passed;
  }
  if (options.version) {
    std::cout << "plugin-check " << MY_PHYSICS1_VERSION << '\n';
    return tamrix_host::exit_status::passed;
  }
  if (options.list) {
    std::cout << plugin_check::list_text();
    return tamrix_host::exit_status::passed;
  }
  // Opened first, so a report that cannot be written is known before the run.
  std::ofstream junit;
  if (!options.junit_file.empty()) {
    junit.open(options.junit_file);
    if (!junit) {
      std::cerr << "plugin-check: cannot write the JUnit report '" << options.junit_file << "'\n";
      return tamrix_host::exit_status::usage;
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
      status = tamrix_host::exit_status::failed;
    }
  }
  return status;
}
