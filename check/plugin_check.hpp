// plugin-check: runs a battery of checks over a physics plug-in, each
// behaviour check in a process of its own, and reports one line per check.
#pragma once

#include <fstream>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "verdict.hpp"

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
  bool help = false;
  bool list = false;
  bool version = false;

  // Whether `check` is to be reported, by --only and --skip.
  [[nodiscard]] bool chosen(std::string_view check) const;
};

inline constexpr const char *usage =
    "usage: plugin-check [--strict] [--timeout SECONDS] [--junit FILE] [--world FILE] "
    "[--only CHECK,...] [--skip CHECK,...] PLUGIN";

// Parses argv without the program name into `options`, or returns the
// one-line reason it cannot.
std::string parse_options(const std::vector<std::string> &args, Options &options);

// What --help prints: every option in a sentence, the checks, the exit statuses.
std::string help_text();

// What --list prints: each check's name, then what it proves, one a line.
std::string list_text();

// One line per finding, then the counts line; returns the exit status.
int print_report(const std::vector<Finding> &findings, std::ostream &out);

// The line of one finding.
void print_finding(const Finding &finding, std::ostream &out);

// The closing counts line; returns the exit status.
int print_counts(const std::vector<Finding> &findings, std::ostream &out);

// The same findings as JUnit XML: failures as <failure>, skips as <skipped>,
// warnings as passing test cases whose <system-out> carries the reason.
void write_junit(const std::vector<Finding> &findings, const std::string &plugin, std::ostream &out,
                 const std::string &sha256 = {});

// The JUnit report, written under a name of its own and put in its place
// only when whole, so a run cut short leaves no half-written file where a
// reader looks.
class JunitReport {
 public:
  // Opens the report before the run, so one that cannot be written is known
  // first; the one-line reason it cannot, or empty.
  std::string open(const std::string &file, const std::string &plugin);
  [[nodiscard]] bool is_open() const { return out_.is_open(); }
  // Writes `findings` and puts the report in its place; the one-line reason
  // it could not, or empty.
  std::string commit(const std::vector<Finding> &findings, const std::string &sha256 = {});

 private:
  std::string file_;
  std::string target_;  // file_, or the regular file it links to: the one replaced
  std::string plugin_;
  std::ofstream out_;
  [[nodiscard]] std::string partial() const { return target_ + ".partial"; }
};

class PluginBytes;

// Everything the program does after parsing: file checks, then each
// behaviour check in its own child process, all of `bytes`, the file as read
// at the start. `each` (when set) hears each finding as soon as it is made,
// so a report can be printed as it grows. When the file on disk is no longer
// those bytes at the end, a last finding, file_unchanged, fails.
std::vector<Finding> run_battery(const Options &options, const PluginBytes &bytes,
                                 const std::function<void(const Finding &)> &each = {});

// The name of the finding a run adds when the file changed on disk.
inline constexpr std::string_view file_unchanged = "file-unchanged";

// What a child process runs: args are the check's name, the plug-in's path
// and its world (worlds.hpp).
int run_check_in_child(const std::vector<std::string> &args);

}  // namespace plugin_check
