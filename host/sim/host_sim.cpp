#include "sim/host_sim.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string_view>

#include "platform/platform.hpp"
#include "programs/command_line.hpp"
#include "programs/exit_status.hpp"
#include "programs/output_file.hpp"
#include "programs/visible_text.hpp"
#include "sim/body_plot.hpp"
#include "sim/body_record.hpp"
#include "sim/replay.hpp"
#include "sim/world_file.hpp"
#include "sim/world_keys.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host {
namespace {

constexpr std::string_view usage =
    "usage: host-sim [--world FILE] [--body NAME]... [--geom NAME]... [--steps N] "
    "[--lookup NAME]... [--trace] [--timeout SECONDS] [--record FILE.csv] [--plot FILE.svg] "
    "[--replay FILE.html] [PLUGIN]";

// Long enough for a plug-in stuck for good, short enough for CI to notice;
// plugin-check's --timeout has the same default and bounds.
constexpr double default_timeout_seconds = 10.0;
// What the command line says; each option set here overrides the world file.
struct Options {
  std::vector<std::string> bodies;
  std::vector<std::string> geometries;
  std::optional<long> steps;
  double timeout_seconds = default_timeout_seconds;
  std::vector<std::string> lookups;
  std::string world_file;
  std::string record;
  std::string plot;
  std::string replay;
  std::string plugin;
  bool trace = false;
  bool help = false;
  bool version = false;

  // Whether a picture is made at the end, which needs the run's frames kept.
  [[nodiscard]] bool draws() const { return !plot.empty() || !replay.empty(); }
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

std::string footer() {
  std::ostringstream text;
  text
      << "Console messages appear as \"[plugin console] ...\", what the plug-in writes to the "
         "standard output itself as \"plugin| ...\", both with control characters and invalid "
         "UTF-8 shown as escapes, and a summary closes the run. A "
         "world file (TOML) may set steps, step_seconds, bodies, geometries, lookups, the "
         "collide pairs, messages queued per channel and step, and [expect] sections for the "
         "console, the sends and the collide answers; an option overrides the same key. An "
         "[engine] part makes it a rigid-body world, with [[engine.body]] and "
         "[[engine.geometry]] in place of bodies, geometries and collide, [[engine.joint]] to join "
         "them, and [[expect.body]] and [[expect.joint]] for where a body or a joint is after a "
         "step. In an engine world, --record writes the bodies' states as CSV, --plot draws them "
         "over time as SVG, and --replay writes a page that plays the run back; "
         "\"FILE.html#step=last\" opens it at the end.\n\n"
         "Exit status:\n"
      << "  " << exit_status::passed << "  the life ran, and every expectation was met\n"
      << "  " << exit_status::failed
      << "  the plug-in cannot be loaded, or an expectation was not met\n"
      << "  " << exit_status::usage << "  the command line or the world file cannot be used\n"
      << "  " << exit_status::crashed
      << "  the plug-in crashed or ended the process in one of its calls, or a call, its "
         "loading or its unloading did not finish within --timeout\n\n"
      << "World-file keys:\n"
      << world_keys_text();
  return text.str();
}

struct Parser {
  CLI::App app{
      "Runs a Tamrix physics plug-in's whole life without the simulator: set-up, init, "
      "steps that collide the world's geometries, getBody lookups and cleanup, with "
      "working services over a small world.",
      "host-sim"};
  std::string steps;
  std::string timeout;

  explicit Parser(Options &options) {
    app.add_option("--world", options.world_file,
                   "Read the world, the run and what to expect of it from the TOML file FILE.")
        ->type_name("FILE");
    app.add_option("--body", options.bodies,
                   "A body of the world, by DEF name; repeat for more (default: arm, base, "
                   "wheel).")
        ->type_name("NAME")
        ->allow_extra_args(false);
    app.add_option("--geom", options.geometries,
                   "A geometry of the world, by DEF name; repeat for more (default: arm, base, "
                   "floor).")
        ->type_name("NAME")
        ->allow_extra_args(false);
    app.add_option("--steps", steps, "How many physics steps to run (default 10).")->type_name("N");
    app.add_option("--lookup", options.lookups,
                   "Call the plug-in's getBody with NAME after init and print the answer; "
                   "repeat for more.")
        ->type_name("NAME")
        ->allow_extra_args(false);
    app.add_option("--record", options.record,
                   "In an engine world, write every body's position, orientation and velocity "
                   "at the start and after every step to FILE, as CSV.")
        ->type_name("FILE.csv");
    app.add_option("--plot", options.plot,
                   "In an engine world, draw every body's position, speed and turn, and every "
                   "joint's state, over time into FILE, as SVG, with each [[expect.body]] and "
                   "[[expect.joint]] as a point and its tolerance band.")
        ->type_name("FILE.svg");
    app.add_option("--replay", options.replay,
                   "In an engine world, write the run into FILE as one page to open in a "
                   "browser, with no network: the world from above, the front and the side, "
                   "every body by its shape and pose, a time slider with play and pause, and "
                   "the bodies' coordinates at each step.")
        ->type_name("FILE.html");
    app.add_flag("--trace", options.trace,
                 "Print every call across the boundary, in order, one line each.");
    app.add_option("--timeout", timeout,
                   "End the run when one of the plug-in's calls does not return within SECONDS "
                   "(above 0, at most 3600; default 10), naming the plug-in call that hung; "
                   "loading and unloading the plug-in are held to the same time.")
        ->type_name("SECONDS");
    app.add_flag("--version", options.version, "Print the program's name and version, and exit.");
    app.add_option("PLUGIN", options.plugin,
                   "The plug-in to run (default: the one installed beside this program).");
    app.footer(footer());
    // Anything else is refused below, in the words this program has always used.
    app.allow_extras();
  }
};

// Parses into `options`, or returns the one-line reason it cannot.
std::string parse(const std::vector<std::string> &args, Options &options) {
  for (const char *single : {"--world", "--timeout", "--record", "--plot", "--replay"}) {
    if (std::count(args.begin(), args.end(), single) > 1) {
      return std::string("only one ") + single + " may be given";
    }
  }
  Parser parser(options);
  if (std::string problem =
          parse_command_line(parser.app, args,
                             {"--world", "--body", "--geom", "--steps", "--lookup", "--timeout",
                              "--record", "--plot", "--replay"},
                             options.plugin, options.help);
      !problem.empty() || options.help) {
    return problem;
  }
  if (parser.app.count("--timeout") != 0) {
    if (std::string problem = parse_timeout(parser.timeout, options.timeout_seconds);
        !problem.empty()) {
      return problem;
    }
  }
  if (parser.app.count("--steps") != 0) {
    return parse_steps(parser.steps, options.steps);
  }
  return {};
}

// The standard world, under the world file, under the command line.
World world_of(const Options &options, const WorldFile &file) {
  World world = world_of(file);
  if (!options.bodies.empty()) {
    world.bodies = options.bodies;
  }
  if (!options.geometries.empty()) {
    world.geometries = options.geometries;
  }
  return world;
}

// What the engine world and the output files need, or the one-line reason
// the run cannot have it.
std::string engine_problem(const Options &options, const WorldFile &file) {
  if (file.engine && (!options.bodies.empty() || !options.geometries.empty())) {
    return "--body and --geom cannot be used with a world file's [engine]: its bodies and "
           "geometries are [[engine.body]] and [[engine.geometry]]";
  }
  // Each output is checked against the run's inputs and the outputs before it.
  std::vector<std::string> in_use{options.world_file, options.plugin};
  for (const auto &[option, path] :
       {std::pair{"--record", &options.record}, std::pair{"--plot", &options.plot},
        std::pair{"--replay", &options.replay}}) {
    if (path->empty()) {
      continue;
    }
    if (!file.engine) {
      return std::string(option) + " needs a world file with an [engine] part";
    }
    if (std::string refusal = output_refusal(option, *path, in_use); !refusal.empty()) {
      return refusal;
    }
    in_use.push_back(*path);
  }
  return {};
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

// Reads and checks the whole world file, and opens the record, before the
// plug-in is loaded; returns the one-line reason the run cannot start.
std::string prepare(const Options &options, WorldFile &file, std::ofstream &csv) {
  if (!options.world_file.empty()) {
    if (std::string problem = read_world_file(options.world_file, file); !problem.empty()) {
      return problem;
    }
  }
  if (std::string problem = engine_problem(options, file); !problem.empty()) {
    return problem;
  }
  if (std::string problem = world_size_problem(world_of(options, file)); !problem.empty()) {
    return problem;
  }
  if (std::string problem = unknown_pair(world_of(options, file), file); !problem.empty()) {
    return problem;
  }
  if (!options.record.empty()) {
    csv.open(options.record, std::ios::binary | std::ios::trunc);
    if (!csv) {
      return "--record " + options.record + ": cannot be written";
    }
  }
  return {};
}

// The engine world's joints, whose states the pictures draw.
std::vector<std::string> joint_names(const World &world) {
  std::vector<std::string> names;
  if (world.engine) {
    for (const EngineJoint &joint : world.engine->joints) {
      names.push_back(joint.name);
    }
  }
  return names;
}

// Each [[expect.body]] and [[expect.joint]], placed on the plot's time
// axis. A displacement is drawn as the position it expects at its step, from
// where the run found the body at its first; a run that ended before then
// gives it nothing to be drawn from.
void plotted(const WorldFile &file, const World &world, const BodyHistory &history,
             const Observed &observed, std::vector<PlotExpectation> &bodies,
             std::vector<PlotJointExpectation> &joints) {
  const auto index = [](const std::vector<std::string> &names, const std::string &name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  for (std::size_t i = 0; i < file.body_expectations.size(); ++i) {
    const ExpectedBody &e = file.body_expectations[i];
    PlotExpectation mark;
    mark.body = index(history.bodies, e.name);
    mark.time = static_cast<double>(e.step) * world.step_seconds;
    mark.position = e.position;
    mark.velocity = e.velocity;
    mark.rpy = e.rpy;
    mark.angular_velocity = e.angular_velocity;
    mark.tolerance = e.tolerance;
    mark.angle_tolerance = e.angle_tolerance;
    if (mark.body >= history.bodies.size()) {
      continue;
    }
    bodies.push_back(mark);
    const std::optional<BodyState> from =
        i < observed.bodies_from.size() ? observed.bodies_from[i] : std::nullopt;
    if (e.displacement && from) {
      PlotExpectation moved{.body = mark.body, .time = mark.time, .tolerance = e.tolerance};
      moved.position = from->position;
      for (std::size_t a = 0; a < 3; ++a) {
        (*moved.position)[a] += (*e.displacement)[a];
      }
      bodies.push_back(moved);
    }
  }
  for (const ExpectedJoint &e : file.joint_expectations) {
    const PlotJointExpectation mark{index(history.joints, e.name),
                                    static_cast<double>(e.step) * world.step_seconds,
                                    e.angle,
                                    e.position,
                                    e.rate,
                                    e.tolerance};
    if (mark.joint < history.joints.size()) {
      joints.push_back(mark);
    }
  }
}

// Writes a picture made at the end of the run, or says why it could not.
template <typename Write>
std::string write_picture(const char *option, const std::string &path, Write write) {
  if (path.empty()) {
    return {};
  }
  // Asked again: the path may have become a FIFO or a device during the run.
  if (std::string refusal = output_path_refusal(option, path); !refusal.empty()) {
    return refusal;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  write(out);
  if (!out.flush()) {
    return std::string(option) + " " + path + ": cannot be written";
  }
  return {};
}

// The record's last rows, the plot and the replay, or why they could not be
// written.
std::string finish_outputs(const Options &options, std::ofstream &csv, const WorldFile &file,
                           const World &world, const BodyRecorder &recorder,
                           const Observed &observed) {
  if (csv.is_open() && !csv.flush()) {
    return "--record " + options.record + ": writing failed";
  }
  if (options.plot.empty() && options.replay.empty()) {
    return {};
  }
  const BodyHistory history = recorder.history();
  if (std::string problem = write_picture("--plot", options.plot,
                                          [&](std::ostream &svg) {
                                            std::vector<PlotExpectation> bodies;
                                            std::vector<PlotJointExpectation> joints;
                                            plotted(file, world, history, observed, bodies, joints);
                                            write_plot(svg, history, bodies, joints);
                                          });
      !problem.empty()) {
    return problem;
  }
  return write_picture("--replay", options.replay, [&](std::ostream &html) {
    write_replay(html, world.engine.value_or(Engine{}), history, world.step_seconds);
  });
}

// Writes to a descriptor a line at a time: host-sim's own output while the
// standard output is diverted, so a line written before the plug-in ends
// the process is not lost in a buffer.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) {}
  DescriptorBuffer(const DescriptorBuffer &) = delete;
  DescriptorBuffer &operator=(const DescriptorBuffer &) = delete;
  ~DescriptorBuffer() override { DescriptorBuffer::sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
      return traits_type::not_eof(c);
    }
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }
  std::streamsize xsputn(const char *text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    if (const std::size_t end = pending_.rfind('\n'); end != std::string::npos) {
      platform::write_all(fd_, std::string_view(pending_).substr(0, end + 1));
      pending_.erase(0, end + 1);
    }
    return count;
  }
  int sync() override {
    const bool written = platform::write_all(fd_, pending_);
    pending_.clear();
    return written ? 0 : -1;
  }

 private:
  int fd_;
  std::string pending_;
};

constexpr std::size_t longest_line = std::size_t{64} * 1024;

// What the plug-in writes to the process's standard output itself, past the
// console service: kept in a scratch file during the life and shown at each
// step's end as "plugin| " lines, escaped, so no line of it can pass for one
// of host-sim's own. host-sim's own lines, when `out` is the standard output,
// go straight to where it led before.
class PluginOutput {
 public:
  explicit PluginOutput(std::ostream &out) : out_(out), scratch_(std::tmpfile()) {
    saved_ = scratch_ != nullptr ? platform::divert_standard_output(scratch_) : -1;
    if (saved_ >= 0 && out.rdbuf() == std::cout.rdbuf()) {
      out.flush();
      own_ = std::make_unique<DescriptorBuffer>(saved_);
      kept_ = out.rdbuf(own_.get());
    }
  }
  PluginOutput(const PluginOutput &) = delete;
  PluginOutput &operator=(const PluginOutput &) = delete;
  ~PluginOutput() {
    show(true);
    if (kept_ != nullptr) {
      out_.flush();
      out_.rdbuf(kept_);
    }
    if (saved_ >= 0) {
      platform::restore_standard_output(saved_);
    }
    if (scratch_ != nullptr) {
      std::fclose(scratch_);
    }
  }

  // Shows the lines written since the last time; a line not yet ended waits
  // for its end, unless `all`.
  void show(bool all) {
    if (saved_ < 0) {
      return;
    }
    std::fflush(stdout);
    if (std::fseek(scratch_, shown_, SEEK_SET) == 0) {
      std::array<char, 4096> chunk{};
      for (std::size_t got = 0; (got = std::fread(chunk.data(), 1, chunk.size(), scratch_)) > 0;) {
        line_.append(chunk.data(), got);
        shown_ += static_cast<long>(got);
      }
    }
    // A line that never ends is shown in pieces, so it cannot fill the memory;
    // one not yet ended waits for the rest, unless this is the last look.
    while (!line_.empty()) {
      const std::size_t newline = line_.find('\n');
      const std::size_t end = std::min(newline, longest_line);
      if (end >= line_.size() && !all) {
        break;
      }
      out_ << "plugin| " << visible(std::string_view(line_).substr(0, end)) << '\n';
      line_.erase(0, end == newline ? end + 1 : std::min(end, line_.size()));
    }
    out_.flush();
  }

 private:
  std::ostream &out_;
  std::FILE *scratch_;
  int saved_ = -1;
  std::unique_ptr<DescriptorBuffer> own_;
  std::streambuf *kept_ = nullptr;
  long shown_ = 0;
  std::string line_;
};

}  // namespace

int host_sim(const std::vector<std::string> &args, const std::string &default_plugin,
             std::ostream &out, std::ostream &err, const LifeWatch &watch) {
  Options options;
  if (const std::string problem = parse(args, options); !problem.empty()) {
    err << "host-sim: " << problem << "; " << usage << '\n';
    return exit_status::usage;
  }
  if (options.help) {
    Options unused;
    out << Parser(unused).app.help();
    return exit_status::passed;
  }
  if (options.version) {
    out << "host-sim " << MY_PHYSICS1_VERSION << '\n';
    return exit_status::passed;
  }
  WorldFile file;
  std::ofstream csv;
  if (const std::string problem = prepare(options, file, csv); !problem.empty()) {
    err << "host-sim: " << problem << '\n';
    return exit_status::usage;
  }
  const World world = world_of(options, file);
  const long steps = options.steps.value_or(file.steps.value_or(10));
  const std::vector<std::string> &lookups =
      options.lookups.empty() ? file.lookups.value_or(std::vector<std::string>{}) : options.lookups;

  const std::string &path = options.plugin.empty() ? default_plugin : options.plugin;
  std::vector<std::string> unmet;
  try {
    // From before the load: a plug-in's constructors may print too.
    PluginOutput plugin_output(out);
    if (watch.loading != nullptr) {
      watch.loading();
    }
    const Plugin plugin(path);
    if (watch.loaded != nullptr) {
      watch.loaded(plugin);
    }
    Host host(world, &out);
    // A long run would otherwise keep every step and collide call; the
    // expectations need only the tallies of collide answers.
    host.record_steps(false);
    if (options.trace) {
      host.set_trace(&out);
    }
    BodyRecorder recorder(world.engine ? host.world().bodies : std::vector<std::string>{},
                          joint_names(world), steps, csv.is_open() ? &csv : nullptr,
                          options.draws());
    Observed observed;
    const auto after_step = [&](long step) {
      plugin_output.show(false);
      if (!world.engine) {
        return;
      }
      recorder.sample(host, step, static_cast<double>(step) * world.step_seconds);
      observe(file, host, step, observed);
    };
    // Told first as the life's scope ends, whichever way: the world and the
    // plug-in go after it, and the plug-in's code may run as they do.
    const std::unique_ptr<const LifeWatch, void (*)(const LifeWatch *)> unloading(
        &watch, [](const LifeWatch *told) {
          if (told->unloading != nullptr) {
            told->unloading();
          }
        });
    // The start, before any step: where a plot's lines begin.
    after_step(0);
    const LifeSummary summary = run_life(plugin, host, steps, lookups, out, after_step);
    plugin_output.show(true);
    out << "summary: " << summary.steps << " steps, " << summary.collide_calls << " collide calls, "
        << summary.nonzero_answers << " non-zero, " << summary.console_messages
        << " console messages\n";
    unmet = unmet_expectations(file, host, observed);
    if (const std::string problem = finish_outputs(options, csv, file, world, recorder, observed);
        !problem.empty()) {
      err << "host-sim: " << problem << '\n';
      return exit_status::failed;
    }
  } catch (const LoadError &error) {
    err << "host-sim: " << error.what() << '\n';
    return exit_status::failed;
  }
  if (file.expectation_count() > 0) {
    for (const std::string &line : unmet) {
      err << "host-sim: " << line << '\n';
    }
    out << "expectations: " << (unmet.empty() ? "all met" : "not met") << '\n';
  }
  return unmet.empty() ? exit_status::passed : exit_status::failed;
}

double timeout_seconds(const std::vector<std::string> &args) {
  Options options;
  return parse(args, options).empty() ? options.timeout_seconds : default_timeout_seconds;
}

}  // namespace tamrix_host
