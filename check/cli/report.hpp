// The report of a run: one line per finding for a person, and the same
// findings as JUnit XML for a CI server.
#pragma once

#include <fstream>
#include <iosfwd>
#include <string>
#include <vector>

#include "verdict.hpp"

namespace plugin_check {

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

}  // namespace plugin_check
