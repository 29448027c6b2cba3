#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "exit_status.hpp"
#include "plugin_check.hpp"
#include "sandbox/child.hpp"

namespace {

// Whether writing `junit` would overwrite the plug-in under check: the same
// file (device and inode, or the system's equivalent) where both exist, else
// the same path once made absolute and normal.
bool names_the_plugin(const std::string &junit, const std::string &plugin) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::equivalent(junit, plugin, error)) {
    return true;
  }
  const fs::path a = fs::weakly_canonical(junit, error);
  const bool a_known = !error;
  const fs::path b = fs::weakly_canonical(plugin, error);
  return a_known && !error && a == b;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const int status =
          plugin_check::sandbox::run_as_child(plugin_check::run_check_in_child, args);
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
  // The report goes to a name of its own and takes its place only when whole,
  // so a run cut short leaves no half-written file where a reader looks.
  const std::string junit_partial = options.junit_file + ".partial";
  std::ofstream junit;
  if (!options.junit_file.empty()) {
    if (names_the_plugin(options.junit_file, options.plugin) ||
        names_the_plugin(junit_partial, options.plugin)) {
      std::cerr << "plugin-check: --junit '" << options.junit_file
                << "' names the plug-in itself, which the report would overwrite\n";
      return tamrix_host::exit_status::usage;
    }
    // Opened first, so a report that cannot be written is known before the run.
    junit.open(junit_partial);
    if (!junit) {
      std::cerr << "plugin-check: cannot write the JUnit report '" << options.junit_file << "'\n";
      return tamrix_host::exit_status::usage;
    }
  }
  // Each line as soon as its check ends, so a run that is cut short still
  // shows what it found.
  const std::vector<plugin_check::Finding> findings =
      plugin_check::run_battery(options, [](const plugin_check::Finding &finding) {
        plugin_check::print_finding(finding, std::cout);
        std::cout.flush();
      });
  int status = plugin_check::print_counts(findings, std::cout);
  if (junit.is_open()) {
    plugin_check::write_junit(findings, options.plugin, junit);
    junit.close();
    std::error_code error;
    if (junit) {
      std::filesystem::rename(junit_partial, options.junit_file, error);
    }
    if (!junit || error) {
      std::filesystem::remove(junit_partial, error);
      std::cerr << "plugin-check: could not finish the JUnit report '" << options.junit_file
                << "'\n";
      status = tamrix_host::exit_status::failed;
    }
  }
  return status;
}
