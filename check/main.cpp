#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "cli/report.hpp"
#include "inspect/plugin_file.hpp"
#include "programs/exit_status.hpp"
#include "programs/visible_text.hpp"
#include "run/battery.hpp"
#include "run/plugin_bytes.hpp"
#include "run/worlds.hpp"
#include "sandbox/child.hpp"

namespace {

// What --help, --version and --list print, and the status to exit with; none
// when the options ask for a run.
std::optional<int> answer_without_running(const plugin_check::Options &options) {
  if (options.help) {
    std::cout << plugin_check::help_text();
  } else if (options.version) {
    std::cout << "plugin-check " << MY_PHYSICS1_VERSION << '\n';
  } else if (options.list) {
    std::cout << plugin_check::list_text();
  } else {
    return std::nullopt;
  }
  return tamrix_host::exit_status::passed;
}

// The run, each line printed as soon as its check ends, so a run that is cut
// short still shows what it found; returns the exit status.
int run(const plugin_check::Options &options, const plugin_check::PluginBytes &bytes,
        plugin_check::JunitReport &junit) {
  // The verdict is for these bytes: a report names them before any finding.
  if (!bytes.sha256().empty()) {
    std::cout << "file " << tamrix_host::visible(options.plugin) << " sha256 " << bytes.sha256();
    if (!bytes.copy_problem().empty()) {
      std::cout << " (checked in place: " << bytes.copy_problem() << ")";
    }
    std::cout << '\n';
  }
  const std::vector<plugin_check::Finding> findings = plugin_check::run_battery(
      options, bytes,
      [](const plugin_check::Finding &finding) {
        plugin_check::print_finding(finding, std::cout);
        std::cout.flush();
      },
      [](const std::string &line) {
        std::cout << tamrix_host::visible(line) << '\n';
        std::cout.flush();
      });
  int status = plugin_check::print_counts(findings, std::cout);
  if (junit.is_open()) {
    if (const std::string problem = junit.commit(findings, bytes.sha256()); !problem.empty()) {
      std::cerr << "plugin-check: " << problem << '\n';
      status = tamrix_host::exit_status::failed;
    }
  }
  return status;
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
  if (const std::optional<int> status = answer_without_running(options)) {
    return *status;
  }
  // Read once, here: every later reading, the file checks' and each child's,
  // is of these bytes.
  const plugin_check::PluginBytes bytes(options.plugin);
  if (!options.world_file.empty() && !options.list && !options.help && !options.version) {
    tamrix_host::World world;
    if (const std::string problem = plugin_check::read_checked_world(options.world_file, world);
        !problem.empty()) {
      std::cerr << "plugin-check: --world " << problem << '\n';
      return tamrix_host::exit_status::usage;
    }
    // Its handles would be the fixture's no-access pages, and every check a
    // crash at the first engine call, which says nothing of the plug-in.
    if (!world.engine && plugin_check::read_plugin_file(bytes.load_path()).engine) {
      std::cerr << "plugin-check: --world " << options.world_file
                << " has no [engine] part, and the plug-in uses the engine\n";
      return tamrix_host::exit_status::usage;
    }
  }
  plugin_check::JunitReport junit;
  if (!options.junit_file.empty()) {
    if (const std::string problem = junit.open(options.junit_file, options.plugin);
        !problem.empty()) {
      std::cerr << "plugin-check: " << problem << '\n';
      return tamrix_host::exit_status::usage;
    }
  }
  return run(options, bytes, junit);
}
