// plugin-check's command line, through CLI11, with the one-line refusals the
// program has always given; --help and --list are made from the checks'
// registrations, so they cannot drift from what runs.
#include <algorithm>
#include <charconv>
#include <sstream>

#include "cli/options.hpp"
#include "observe/reach.hpp"
#include "programs/command_line.hpp"
#include "programs/exit_status.hpp"
#include "programs/join.hpp"
#include "registry.hpp"
#include "run/worlds.hpp"

namespace plugin_check {
namespace {

std::string check_names() {
  return tamrix_host::join(checks(), ", ", [](const Check &check) { return check.name; });
}

// Every name in `chosen` is a check's, or the one-line reason.
std::string unknown_check(const char *option, const std::vector<std::string> &chosen) {
  for (const std::string &name : chosen) {
    if (find_check(name) == nullptr) {
      return std::string(option) + " names no check '" + name + "'; the checks are " +
             check_names();
    }
  }
  return {};
}

std::string footer() {
  std::ostringstream text;
  text << "Checks, in the order they run (--list prints the same):\n";
  for (const Check &check : checks()) {
    text << "  " << check.name << (check.level == Level::warning ? " (warning)" : "") << ": "
         << check.proves << '\n';
  }
  text << "\nA warning is a failure under --strict. Each behaviour check runs in a process of its "
          "own, so a crash or a hang is a finding and the run goes on.\n\n"
          "Exit status:\n"
       << "  " << tamrix_host::exit_status::passed << "  nothing failed\n"
       << "  " << tamrix_host::exit_status::failed
       << "  a check failed (a file that cannot be loaded included)\n"
       << "  " << tamrix_host::exit_status::usage << "  the command line cannot be used\n";
  return text.str();
}

struct Parser {
  CLI::App app{
      "Proves that a Tamrix physics plug-in keeps the contract and leaves the host's "
      "process as it found it: it reads the file without loading it, then runs each "
      "behaviour check in a child process of its own.",
      "plugin-check"};
  std::string timeout;
  bool version = false;

  explicit Parser(Options &options) {
    app.add_flag("--strict", options.strict,
                 "Fail on warnings too: the checks marked (warning) below fail the run.");
    app.add_option("--timeout", timeout,
                   "Stop a check whose child runs longer than SECONDS (above 0, at most 3600; "
                   "default 10), run it once more, and fail it when it runs out of time again, "
                   "naming the plug-in call that hung.")
        ->type_name("SECONDS");
    app.add_option("--junit", options.junit_file,
                   "Also write the results to FILE as JUnit XML, for CI reporters.")
        ->type_name("FILE");
    app.add_option("--world", options.world_file,
                   "Run the behaviour checks in the world of FILE, a world file as host-sim "
                   "reads it (its expectations are host-sim's business). Without it, a plug-in "
                   "that uses the engine runs in plugin-check's own engine world: " +
                       checker_engine_world_text() + ".")
        ->type_name("FILE");
    app.add_flag("--list", options.list,
                 "Print every check, one a line: its name, then what it proves; run nothing.");
    app.add_option("--only", options.only,
                   "Run and report only these checks, by name (comma-separated); the checks "
                   "they depend on still run first, unreported.")
        ->type_name("CHECK[,CHECK...]")
        ->delimiter(',')
        ->allow_extra_args(false);
    app.add_option("--skip", options.skip,
                   "Run and report every check but these, by name (comma-separated).")
        ->type_name("CHECK[,CHECK...]")
        ->delimiter(',')
        ->allow_extra_args(false);
    app.add_option("--allow", options.allow,
                   "Let the plug-in reach these categories (comma-separated) without a warning "
                   "from the reach check, for an author who means it: one that reads its own "
                   "configuration file allows files. Allowed reach is still listed where the "
                   "report opens. The categories: " +
                       category_names() + ".")
        ->type_name("CATEGORY[,CATEGORY...]")
        ->delimiter(',')
        ->allow_extra_args(false);
    app.add_flag("--version", version, "Print the program's name and version, and exit.");
    app.add_option("PLUGIN", options.plugin, "The plug-in file to check.");
    app.footer(footer());
    // Anything else is refused below, in the words this program has always used.
    app.allow_extras();
  }
};

}  // namespace

std::string parse_options(const std::vector<std::string> &args, Options &options) {
  Parser parser(options);
  if (std::string problem = tamrix_host::parse_command_line(
          parser.app, args, {"--timeout", "--junit", "--world", "--only", "--skip", "--allow"},
          options.plugin, options.help);
      !problem.empty() || options.help) {
    return problem;
  }
  options.version = parser.version;
  if (parser.app.count("--junit") != 0 && options.junit_file.empty()) {
    return "--junit needs a file name";
  }
  if (parser.app.count("--world") != 0 && options.world_file.empty()) {
    return "--world needs a file name";
  }
  if (parser.app.count("--timeout") != 0) {
    if (std::string problem = tamrix_host::parse_timeout(parser.timeout, options.timeout_seconds);
        !problem.empty()) {
      return problem;
    }
  }
  if (std::string problem = unknown_check("--only", options.only); !problem.empty()) {
    return problem;
  }
  if (std::string problem = unknown_check("--skip", options.skip); !problem.empty()) {
    return problem;
  }
  for (const std::string &name : options.allow) {
    if (!category_named(name)) {
      return "--allow names no category '" + name + "'; the categories are " + category_names();
    }
  }
  if (options.plugin.empty() && !options.list && !options.version) {
    return "no PLUGIN given";
  }
  return {};
}

std::string help_text() {
  Options options;
  return Parser(options).app.help();
}

std::string list_text() {
  std::string text;
  for (const Check &check : checks()) {
    text.append(check.name).append("  ").append(check.proves).append("\n");
  }
  return text;
}

}  // namespace plugin_check
