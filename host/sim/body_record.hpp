// What host-sim's --record and --plot write: where each body of an engine
// world is, how it is turned and how fast it moves, after every step.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "tamrix_host.hpp"

namespace tamrix_host {

class BodyRecorder {
 public:
  // `csv`, when given, gets a header line now and a row per body per sample;
  // with `plot`, positions are kept for write_plot(), thinned to at most a
  // few thousand points per body over `steps` steps.
  BodyRecorder(std::vector<std::string> bodies, long steps, std::ostream *csv, bool plot);

  // The state of every body after `step` steps (0: the start).
  void sample(const Host &host, long step, double time);

  // An SVG picture: each coordinate of each body's position over time, one
  // panel per axis, with a legend.
  void write_plot(std::ostream &svg) const;

  struct Range {
    double low = 0.0;
    double high = 0.0;
  };

 private:
  void draw_panel(std::ostream &svg, std::size_t axis, Range time, Range range) const;

  struct Point {
    double time;
    std::array<double, 3> position;
  };
  std::vector<std::string> bodies_;
  std::ostream *csv_;
  bool plot_;
  long stride_;
  std::vector<std::vector<Point>> points_;  // per body
};

// Why `path` must not be written as the output of `option`: only a regular
// file may be replaced, and never one of `in_use` (the run's other files).
// Empty when it may.
std::string output_refusal(const std::string &option, const std::string &path,
                           const std::vector<std::string> &in_use);

}  // namespace tamrix_host
