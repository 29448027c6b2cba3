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
// tolerance band on the panels it speaks of. A displacement is drawn as the
// position it expects, from where the body was at its first step.
struct PlotExpectation {
  std::size_t body = 0;  // into BodyHistory::bodies
  double time = 0.0;
  std::optional<std::array<double, 3>> position{};
  std::optional<std::array<double, 3>> velocity{};
  std::optional<std::array<double, 3>> rpy{};  // rad
  std::optional<std::array<double, 3>> angular_velocity{};
  double tolerance = 0.0;        // m or m/s
  double angle_tolerance = 0.0;  // rad or rad/s
};

// An [[expect.joint]]: a hinge's or universal's angle (about its first
// axis), or a slider's position, and the rate of either.
struct PlotJointExpectation {
  std::size_t joint = 0;  // into BodyHistory::joints
  double time = 0.0;
  std::optional<double> angle{};     // rad
  std::optional<double> position{};  // m
  std::optional<double> rate{};      // rad/s or m/s
  double tolerance = 0.0;
};

// One panel per coordinate of the position, one for the linear and one for
// the angular speed; where a body turns or a turn is expected, one each for
// roll, pitch and yaw; and, where the world has such joints, one for the
// joints' angles, one for their rates, one for the sliders' positions and one
// for their rates, against the time. A line per body or joint axis, told
// apart by colour, dashes and markers, so lines at the same values stay
// visible.
void write_plot(std::ostream &svg, const BodyHistory &history,
                const std::vector<PlotExpectation> &expected,
                const std::vector<PlotJointExpectation> &joints_expected = {});

}  // namespace tamrix_host
