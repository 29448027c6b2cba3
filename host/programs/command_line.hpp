// What host-sim and plugin-check share of their command lines: CLI11 parses,
// and a refusal keeps the one-line wording both programs have always used.
// Each program's CLI::App must allow extras, which are judged here.
#pragma once

#include <CLI/CLI.hpp>

#include <charconv>
#include <initializer_list>
#include <string>
#include <vector>

namespace tamrix_host {

// Parses `args` (argv without the program) with `app`. Returns the one-line
// reason it cannot, or empty; `help` is set when --help was asked for.
// `plugin` is the positional argument as parsed, for naming a second one.
inline std::string parse_command_line(CLI::App &app, const std::vector<std::string> &args,
                                      std::initializer_list<const char *> taking_values,
                                      const std::string &plugin, bool &help) {
  // CLI11 names a missing value in its own words; these are ours.
  for (const char *option : taking_values) {
    if (!args.empty() && args.back() == option) {
      return args.back() + " needs a value";
    }
  }
  // A path such as /tmp/plugin.dll is a path on every system, never an option
  // in Windows' style.
  app.allow_windows_style_options(false);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp &) {
    help = true;
    return {};
  } catch (const CLI::ParseError &error) {
    return error.what();
  }
  const std::vector<std::string> extras = app.remaining();
  if (extras.empty()) {
    return {};
  }
  const std::string &extra = extras.front();
  if (extra.size() > 1 && extra[0] == '-') {
    return "unknown option '" + extra + "'";
  }
  return "only one PLUGIN may be given, got '" + plugin + "' and '" + extra + "'";
}

// Long enough for a plug-in stuck for good, short enough for CI to notice.
inline constexpr double max_timeout_seconds = 3600.0;

// Reads --timeout's value into `seconds`; the one-line reason it cannot, or
// empty. Both programs' limits mean the same, so they are read the same.
inline std::string parse_timeout(const std::string &value, double &seconds) {
  const char *end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, seconds);
  if (value.empty() || error != std::errc() || stop != end || !(seconds > 0.0) ||
      seconds > max_timeout_seconds) {
    return "--timeout needs a number of seconds above 0 and at most 3600, not '" + value + "'";
  }
  return {};
}

}  // namespace tamrix_host
