#include "host_sim.hpp"

#include <charconv>
#include <ostream>
#include <string_view>

#include "tamrix_host.hpp"

namespace tamrix_host {
namespace {

constexpr long max_steps = 1000000000L;

constexpr std::string_view usage =
    "usage: host-sim [--body NAME]... [--geom NAME]... [--steps N] [--lookup NAME]... [PLUGIN]";

struct Options {
  World world;  // what the options name; the standard world fills what they leave empty
  long steps = 10;
  std::vector<std::string> lookups;
  std::string plugin;
  bool help = false;
};

std::string parse_steps(const std::string &value, long &steps) {
  const char *end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, steps);
  if (value.empty() || error != std::errc() || stop != end || steps < 0 || steps > max_steps) {
    return "--steps needs a whole number from 0 to " + std::to_string(max_steps) + ", not '" +
           value + "'";
  }
  return {};
}

// Parses into `options`, or returns the one-line reason it cannot.
std::string parse(const std::vector<std::string> &args, Options &options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    const bool takes_value =
        arg == "--body" || arg == "--geom" || arg == "--steps" || arg == "--lookup";
    if (takes_value && i + 1 == args.size()) {
      return arg + " needs a value";
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--body") {
      options.world.bodies.push_back(args[++i]);
    } else if (arg == "--geom") {
      options.world.geometries.push_back(args[++i]);
    } else if (arg == "--lookup") {
      options.lookups.push_back(args[++i]);
    } else if (arg == "--steps") {
      if (std::string problem = parse_steps(args[++i], options.steps); !problem.empty()) {
        return problem;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option '" + arg + "'";
    } else if (!options.plugin.empty()) {
      return "only one PLUGIN may be given, got '" + options.plugin + "' and '" + arg + "'";
    } else {
      options.plugin = arg;
    }
  }
  World standard = World::standard();
  if (options.world.bodies.empty()) {
    options.world.bodies = std::move(standard.bodies);
  }
  if (options.world.geometries.empty()) {
    options.world.geometries = std::move(standard.geometries);
  }
  return {};
}

}  // namespace

int host_sim(const std::vector<std::string> &args, const std::string &default_plugin,
             std::ostream &out, std::ostream &err) {
  Options options;
  if (const std::string problem = parse(args, options); !problem.empty()) {
    err << "host-sim: " << problem << "; " << usage << '\n';
    return 2;
  }
  if (options.help) {
    out << usage << '\n';
    return 0;
  }
  const std::string &path = options.plugin.empty() ? default_plugin : options.plugin;
  try {
    const Plugin plugin(path);
    Host host(std::move(options.world), &out);
    // A long run would otherwise keep every step and collide call.
    host.record_steps(false);
    const LifeSummary summary = run_life(plugin, host, options.steps, options.lookups, out);
    out << "summary: " << summary.steps << " steps, " << summary.collide_calls << " collide calls, "
        << summary.nonzero_answers << " non-zero, " << summary.console_messages
        << " console messages\n";
  } catch (const LoadError &error) {
    err << "host-sim: " << error.what() << '\n';
    return 1;
  }
  return 0;
}

}  // namespace tamrix_host
