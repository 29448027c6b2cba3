// host-sim's --plot: a run's bodies over time, and what the world file
// expects of them, as an SVG picture.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <optional>
#include <vector>

#include "sim/body_record.hpp"

namespace tamrix_host {

// An [[expect.body]], drawn where it was expected: a point with its
// tolerance band on the panels it speaks of.
struct PlotExpectation {
  std::size_t body = 0;  // into BodyHistory::bodies
  double time = 0.0;
  std::optional<std::array<double, 3>> position;
  std::optional<std::array<double, 3>> velocity;
  double tolerance = 0.0;
};

// One panel per coordinate of the position, and one for the linear speed,
// against the time; a line per body, told apart by colour, dashes and
// markers, so lines at the same values stay visible.
void write_plot(std::ostream &svg, const BodyHistory &history,
                const std::vector<PlotExpectation> &expected);

}  // namespace tamrix_host
