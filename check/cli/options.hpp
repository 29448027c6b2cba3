// plugin-check's command line: what a run was asked to do, and the texts of
// --help and --list, made from the checks' registrations.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_check {

struct Options {
  bool strict = false;
  double timeout_seconds = 10.0;
  std::string junit_file;  // empty: no JUnit report
  std::string plugin;
  // The world the behaviour checks run in, as host-sim reads it; empty: the
  // standard world, or plugin-check's engine world for an engine plug-in.
  std::string world_file;
  std::vector<std::string> only;  // empty: every check
  std::vector<std::string> skip;
  // The reach categories the author means the plug-in to have (--allow).
  std::vector<std::string> allow;
  bool help = false;
  bool list = false;
  bool version = false;

  // Whether `check` is to be reported, by --only and --skip.
  // Here, not in options.cpp: the run asks it, and the run is below the
  // command line.
  [[nodiscard]] bool chosen(std::string_view check) const {
    const auto named = [check](const std::vector<std::string> &names) {
      return std::find(names.begin(), names.end(), check) != names.end();
    };
    return (only.empty() || named(only)) && !named(skip);
  }
};

inline constexpr const char *usage =
    "usage: plugin-check [--strict] [--timeout SECONDS] [--junit FILE] [--world FILE] "
    "[--only CHECK,...] [--skip CHECK,...] [--allow CATEGORY,...] PLUGIN";

// Parses argv without the program name into `options`, or returns the
// one-line reason it cannot.
std::string parse_options(const std::vector<std::string> &args, Options &options);

// What --help prints: every option in a sentence, the checks, the exit statuses.
std::string help_text();

// What --list prints: each check's name, then what it proves, one a line.
std::string list_text();

}  // namespace plugin_check
