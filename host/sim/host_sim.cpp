#include "host_sim.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <ostream>
#include <string_view>

#include "tamrix_host.hpp"
#include "world_file.hpp"

namespace tamrix_host {
namespace {

constexpr std::string_view usage =
    "usage: host-sim [--world FILE] [--body NAME]... [--geom NAME]... [--steps N] "
    "[--lookup NAME]... [--trace] [PLUGIN]";

// What the command line says; each option set here overrides the world file.
struct Options {
  std::vector<std::string> bodies;
  std::vector<std::string> geometries;
  std::optional<long> steps;
  std::vector<std::string> lookups;
  std::string world_file;
  std::string plugin;
  bool trace = false;
  bool help = false;
};

std::string parse_steps(const std::string &value, std::optional<long> &steps) {
  long parsed = 0;
  const char *end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, parsed);
  if (value.empty() || error != std::errc() || stop != end || parsed < 0 || parsed > max_steps) {
    return "--steps needs a whole number from 0 to " + std::to_string(max_steps) + ", not '" +
           value + "'";
  }
  steps = parsed;
  return {};
}

// Parses into `options`, or returns the one-line reason it cannot.
std::string parse(const std::vector<std::string> &args, Options &options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    const bool takes_value = arg == "--body" || arg == "--geom" || arg == "--steps" ||
                             arg == "--lookup" || arg == "--world";
    if (takes_value && i + 1 == args.size()) {
      return arg + " needs a value";
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--body") {
      options.bodies.push_back(args[++i]);
    } else if (arg == "--geom") {
      options.geometries.push_back(args[++i]);
    } else if (arg == "--lookup") {
      options.lookups.push_back(args[++i]);
    } else if (arg == "--world") {
      if (!options.world_file.empty()) {
        return "only one --world may be given";
      }
      options.world_file = args[++i];
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
  return {};
}

// The standard world, under the world file, under the command line.
World world_of(const Options &options, const WorldFile &file) {
  World world = World::standard();
  if (file.bodies) {
    world.bodies = *file.bodies;
  }
  if (file.geometries) {
    world.geometries = *file.geometries;
  }
  if (!options.bodies.empty()) {
    world.bodies = options.bodies;
  }
  if (!options.geometries.empty()) {
    world.geometries = options.geometries;
  }
  world.collide_pairs = file.collide;
  world.step_seconds = file.step_seconds.value_or(world.step_seconds);
  world.messages = file.messages;
  return world;
}

// A pair naming no geometry of the world, named with its place in the file.
std::string unknown_pair(const World &world, const WorldFile &file) {
  if (!world.collide_pairs) {
    return {};
  }
  for (std::size_t i = 0; i < world.collide_pairs->size(); ++i) {
    for (const std::string &name :
         {(*world.collide_pairs)[i].first, (*world.collide_pairs)[i].second}) {
      if (std::find(world.geometries.begin(), world.geometries.end(), name) ==
          world.geometries.end()) {
        return file.collide_where.at(i) + ": 'collide[" + std::to_string(i + 1) + "]' names '" +
               name + "', which is not a geometry of the world";
      }
    }
  }
  return {};
}

}  // namespace

int host_sim(const std::vector<std::string> &args, const std::string &default_plugin,
             std::ostream &out, std::ostream &err, void (*loaded)(const Plugin &)) {
  Options options;
  if (const std::string problem = parse(args, options); !problem.empty()) {
    err << "host-sim: " << problem << "; " << usage << '\n';
    return 2;
  }
  if (options.help) {
    out << usage << '\n';
    return 0;
  }
  // The whole file is read and checked before the plug-in is loaded.
  WorldFile file;
  if (!options.world_file.empty()) {
    if (const std::string problem = read_world_file(options.world_file, file); !problem.empty()) {
      err << "host-sim: " << problem << '\n';
      return 2;
    }
  }
  const World world = world_of(options, file);
  if (const std::string problem = unknown_pair(world, file); !problem.empty()) {
    err << "host-sim: " << problem << '\n';
    return 2;
  }
  const long steps = options.steps.value_or(file.steps.value_or(10));
  const std::vector<std::string> &lookups =
      options.lookups.empty() ? file.lookups.value_or(std::vector<std::string>{}) : options.lookups;

  const std::string &path = options.plugin.empty() ? default_plugin : options.plugin;
  std::vector<std::string> unmet;
  try {
    const Plugin plugin(path);
    if (loaded != nullptr) {
      loaded(plugin);
    }
    Host host(world, &out);
    // A long run would otherwise keep every step and collide call; the
    // expectations need only the tallies of collide answers.
    host.record_steps(false);
    if (options.trace) {
      host.set_trace(&out);
    }
    const LifeSummary summary = run_life(plugin, host, steps, lookups, out);
    out << "summary: " << summary.steps << " steps, " << summary.collide_calls << " collide calls, "
        << summary.nonzero_answers << " non-zero, " << summary.console_messages
        << " console messages\n";
    unmet = unmet_expectations(file, host);
  } catch (const LoadError &error) {
    err << "host-sim: " << error.what() << '\n';
    return 1;
  }
  if (file.expectation_count() > 0) {
    for (const std::string &line : unmet) {
      err << "host-sim: " << line << '\n';
    }
    out << "expectations: " << (unmet.empty() ? "all met" : "not met") << '\n';
  }
  return unmet.empty() ? 0 : 1;
}

}  // namespace tamrix_host
