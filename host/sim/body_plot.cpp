#include "sim/body_plot.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <numbers>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "programs/xml_text.hpp"

namespace tamrix_host {
namespace {

std::string number(double value, int digits = 7) {
  std::array<char, 40> text{};
  std::snprintf(text.data(), text.size(), "%.*g", digits, value);
  return text.data();
}

double length(const std::array<double, 3> &v) { return std::hypot(v[0], v[1], v[2]); }

struct Range {
  double low = std::numeric_limits<double>::max();
  double high = std::numeric_limits<double>::lowest();
  void widen(double value) {
    if (std::isfinite(value)) {
      low = std::min(low, value);
      high = std::max(high, value);
    }
  }
};

// One line of a panel; `key` is its legend entry, which sets its style.
struct Series {
  std::size_t key = 0;
  std::vector<std::pair<double, double>> points;  // time, value
};

// An expected value with the band it may lie in.
struct Mark {
  std::size_t key = 0;
  double time = 0.0;
  double value = 0.0;
  double low = 0.0;
  double high = 0.0;
};

struct Panel {
  std::string label;
  std::vector<Series> series;
  std::vector<Mark> marks;
};

// 1, 2 or 5 times a power of ten, giving about `wanted` ticks over `span`.
double tick_step(double span, int wanted) {
  const double rough = span / wanted;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  constexpr std::array<double, 3> factors{1.0, 2.0, 5.0};
  const auto *fit = std::find_if(factors.begin(), factors.end(),
                                 [&](double factor) { return factor * power >= rough; });
  return (fit == factors.end() ? 10.0 : *fit) * power;
}

// Widened to whole ticks, and never narrower than a unit, so a value at rest
// (give or take the engine's rounding) is a flat line in the middle.
Range padded(Range range) {
  if (!(range.low <= range.high)) {
    range = {-0.5, 0.5};
  } else if (!(range.high - range.low >= 1e-3)) {
    const double middle = (range.low + range.high) / 2;
    range = {middle - 0.5, middle + 0.5};
  }
  const double step = tick_step(range.high - range.low, 5);
  return {std::floor(range.low / step) * step, std::ceil(range.high / step) * step};
}

// Ticks at whole multiples of `step` from `low` to `high`, counted in whole
// numbers so rounding never adds or drops one.
template <typename Draw>
void ticks(Range range, double step, Draw draw) {
  const auto first = static_cast<long>(std::ceil(range.low / step - 1e-9));
  const auto last = static_cast<long>(std::floor(range.high / step + 1e-9));
  for (long tick = first; tick <= last; ++tick) {
    draw(static_cast<double>(tick) * step);
  }
}

constexpr std::array<std::string_view, 8> colours = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                                     "#ff7f0e", "#17becf", "#8c564b", "#e377c2"};
// Five dash patterns against eight colours: no two of the first forty lines
// look alike, and a dashed line over a solid one leaves both in sight.
constexpr std::array<std::string_view, 5> dashes = {"none", "9 5", "2 4", "12 4 2 4", "5 3 5 9"};
constexpr int markers_per_line = 8;

std::string_view colour(std::size_t key) { return colours.at(key % colours.size()); }
std::string_view dash(std::size_t key) { return dashes.at(key % dashes.size()); }

// A small shape, one per key, so lines that lie on each other are still told
// apart where their markers fall.
void marker(std::ostream &svg, std::size_t key, double x, double y) {
  std::string stroke = "\" fill=\"white\" stroke-width=\"1.5\" stroke=\"";
  stroke.append(colour(key)).append("\"/>");
  switch (key % 4) {
    case 0:
      svg << "<circle cx=\"" << number(x) << "\" cy=\"" << number(y) << "\" r=\"3.5" << stroke;
      break;
    case 1:
      svg << "<rect x=\"" << number(x - 3.5) << "\" y=\"" << number(y - 3.5)
          << "\" width=\"7\" height=\"7" << stroke;
      break;
    case 2:
      svg << "<path d=\"M" << number(x) << ' ' << number(y - 4.5) << "l4 7.5h-8z" << stroke;
      break;
    default:
      svg << "<path d=\"M" << number(x) << ' ' << number(y - 4.5) << "l4.5 4.5l-4.5 4.5l-4.5 -4.5z"
          << stroke;
      break;
  }
}

// The picture's layout, in SVG units. Lines stay `margin` inside the frame,
// so a line at the top or bottom of its range is not hidden by it.
constexpr double width = 900;
constexpr double left = 80;
constexpr double right = 200;  // room for the legend
constexpr double top = 50;
constexpr double panel_height = 170;
constexpr double gap = 60;
constexpr double margin = 8;
constexpr double plot_width = width - left - right;

void draw_panel(std::ostream &svg, const Panel &panel, double y0, Range time) {
  Range range;
  for (const Series &series : panel.series) {
    for (const auto &point : series.points) {
      range.widen(point.second);
    }
  }
  for (const Mark &mark : panel.marks) {
    range.widen(mark.low);
    range.widen(mark.high);
  }
  range = padded(range);
  const auto x_of = [&](double t) {
    return left + margin + (t - time.low) / (time.high - time.low) * (plot_width - 2 * margin);
  };
  const auto y_of = [&](double v) {
    return y0 + panel_height - margin -
           (v - range.low) / (range.high - range.low) * (panel_height - 2 * margin);
  };
  svg << "<g>\n<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << plot_width
      << "\" height=\"" << panel_height << "\" fill=\"none\" stroke=\"#444\"/>\n";
  ticks(range, tick_step(range.high - range.low, 5), [&](double v) {
    const std::string y = number(y_of(v), 6);
    svg << "<line x1=\"" << left << "\" x2=\"" << left + plot_width << "\" y1=\"" << y << "\" y2=\""
        << y << "\" stroke=\"#ddd\"/><text x=\"" << left - 6 << "\" y=\"" << number(y_of(v) + 4, 6)
        << "\" text-anchor=\"end\">" << number(v, 6) << "</text>\n";
  });
  ticks(time, tick_step(time.high - time.low, 8), [&](double t) {
    const std::string x = number(x_of(t), 6);
    svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << y0 << "\" y2=\""
        << y0 + panel_height << "\" stroke=\"#eee\"/><text x=\"" << x << "\" y=\""
        << y0 + panel_height + 16 << "\" text-anchor=\"middle\">" << number(t, 6) << "</text>\n";
  });
  svg << "<text x=\"" << left + plot_width / 2 << "\" y=\"" << y0 + panel_height + 34
      << "\" text-anchor=\"middle\">time (s)</text>\n"
      << "<text transform=\"translate(" << left - 52 << ' ' << y0 + panel_height / 2
      << ") rotate(-90)\" text-anchor=\"middle\">" << xml_escaped(panel.label) << "</text>\n";
  for (const Series &series : panel.series) {
    svg << "<polyline fill=\"none\" stroke-width=\"1.8\" stroke=\"" << colour(series.key)
        << "\" stroke-dasharray=\"" << dash(series.key) << "\" points=\"";
    for (const auto &[t, v] : series.points) {
      if (std::isfinite(v)) {
        svg << number(x_of(t)) << ',' << number(y_of(v)) << ' ';
      }
    }
    svg << "\"/>\n";
    // Markers spread over the line, each key's shifted along it by a part
    // of the spacing, so two lines' markers do not fall on each other.
    const std::size_t count = series.points.size();
    for (int m = 0; count > 1 && m < markers_per_line; ++m) {
      const double shift = static_cast<double>(series.key % 5 + 1) / 6.0;
      const auto at =
          static_cast<std::size_t>((m + shift) / markers_per_line * static_cast<double>(count - 1));
      const auto &[t, v] = series.points[at];
      if (std::isfinite(v)) {
        marker(svg, series.key, x_of(t), y_of(v));
      }
    }
  }
  for (const Mark &mark : panel.marks) {
    const double x = x_of(mark.time);
    svg << "<g class=\"expected\"><rect x=\"" << number(x - 4) << "\" y=\""
        << number(y_of(mark.high)) << "\" width=\"8\" height=\""
        << number(std::max(1.0, y_of(mark.low) - y_of(mark.high))) << "\" fill=\""
        << colour(mark.key) << "\" fill-opacity=\"0.25\" stroke=\"" << colour(mark.key)
        << "\"/><circle cx=\"" << number(x) << "\" cy=\"" << number(y_of(mark.value))
        << "\" r=\"3\" fill=\"black\"/></g>\n";
  }
  svg << "</g>\n";
}

// The least and greatest length of a vector whose every coordinate lies
// within `tolerance` of `expected`'s.
Mark speed_mark(std::size_t key, double time, const std::array<double, 3> &expected,
                double tolerance) {
  std::array<double, 3> nearest{};
  std::array<double, 3> farthest{};
  for (std::size_t a = 0; a < 3; ++a) {
    nearest[a] = std::max(0.0, std::abs(expected[a]) - tolerance);
    farthest[a] = std::abs(expected[a]) + tolerance;
  }
  return {key, time, length(expected), length(nearest), length(farthest)};
}

struct Picture {
  std::vector<Panel> panels;
  std::vector<std::string> legend;  // by key
};

enum PanelIndex : std::size_t { speed = 3, spin = 4, roll = 5 };

// The angle that names the same turn as `angle` and lies nearest to
// `reference`, so a line that passes pi stays one line, and an expected angle
// is drawn beside the line it is expected of.
double beside(double angle, double reference) {
  if (!std::isfinite(angle) || !std::isfinite(reference)) {
    return angle;
  }
  constexpr double turn = 2 * std::numbers::pi;
  return angle + (turn * std::round((reference - angle) / turn));
}

// The line's value at its point nearest in time to `time`.
double value_near(const Series &series, double time) {
  const auto &points = series.points;
  const auto after = std::lower_bound(points.begin(), points.end(), time,
                                      [](const auto &point, double t) { return point.first < t; });
  if (after == points.end()) {
    return points.empty() ? std::numeric_limits<double>::quiet_NaN() : points.back().second;
  }
  if (after != points.begin() && time - std::prev(after)->first < after->first - time) {
    return std::prev(after)->second;
  }
  return after->second;
}

// Whether roll, pitch and yaw are worth their panels: a body is turned at
// some frame, or a turn is expected.
bool shows_turns(const BodyHistory &history, const std::vector<PlotExpectation> &expected) {
  constexpr std::array<double, 4> unturned{1, 0, 0, 0};
  return std::any_of(expected.begin(), expected.end(),
                     [](const PlotExpectation &e) { return e.rpy.has_value(); }) ||
         std::any_of(history.frames.begin(), history.frames.end(), [&](const BodyFrame &frame) {
           return std::any_of(frame.bodies.begin(), frame.bodies.end(), [&](const BodyState &s) {
             return angle_between(s.orientation, unturned) > 1e-6;
           });
         });
}

// Roll, pitch and yaw as the record's quaternion gives them, each line kept
// whole across pi. An expected turn is drawn in the same angles, on the
// branch nearest its body's line: any angles that name the orientation may
// be expected, and the check compares orientations, not angles. Near a pitch
// of pi/2 roll and yaw say little, and neither does their band.
void add_turns(Picture &picture, const BodyHistory &history,
               const std::vector<PlotExpectation> &expected) {
  for (const char *label : {"roll (rad)", "pitch (rad)", "yaw (rad)"}) {
    picture.panels.push_back({label, {}, {}});
  }
  for (std::size_t b = 0; b < history.bodies.size(); ++b) {
    std::array<double, 3> last{};
    last.fill(std::numeric_limits<double>::quiet_NaN());
    for (std::size_t a = 0; a < 3; ++a) {
      picture.panels[roll + a].series.push_back({b, {}});
    }
    for (const BodyFrame &frame : history.frames) {
      const std::array<double, 3> angles = rpy_of_quaternion(frame.bodies[b].orientation);
      for (std::size_t a = 0; a < 3; ++a) {
        const double angle = beside(angles[a], last[a]);
        picture.panels[roll + a].series.back().points.emplace_back(frame.time, angle);
        if (std::isfinite(angle)) {
          last[a] = angle;
        }
      }
    }
  }
  for (const PlotExpectation &e : expected) {
    if (!e.rpy) {
      continue;
    }
    const std::array<double, 3> angles = rpy_of_quaternion(quaternion_of_rpy(*e.rpy));
    for (std::size_t a = 0; a < 3; ++a) {
      Panel &panel = picture.panels[roll + a];
      const double value = beside(angles[a], value_near(panel.series[e.body], e.time));
      panel.marks.push_back(
          {e.body, e.time, value, value - e.angle_tolerance, value + e.angle_tolerance});
    }
  }
}

// The panels of the bodies: x, y, z, the speed and the angular speed, and
// roll, pitch and yaw when they say something.
void add_bodies(Picture &picture, const BodyHistory &history,
                const std::vector<PlotExpectation> &expected) {
  picture.panels = {{"x (m)", {}, {}},
                    {"y (m)", {}, {}},
                    {"z (m)", {}, {}},
                    {"speed (m/s)", {}, {}},
                    {"angular speed (rad/s)", {}, {}}};
  for (std::size_t b = 0; b < history.bodies.size(); ++b) {
    picture.legend.push_back(history.bodies[b]);
    for (Panel &panel : picture.panels) {
      panel.series.push_back({b, {}});
      panel.series.back().points.reserve(history.frames.size());
    }
    for (const BodyFrame &frame : history.frames) {
      const BodyState &state = frame.bodies[b];
      for (std::size_t a = 0; a < 3; ++a) {
        picture.panels[a].series.back().points.emplace_back(frame.time, state.position[a]);
      }
      picture.panels[speed].series.back().points.emplace_back(frame.time, length(state.velocity));
      picture.panels[spin].series.back().points.emplace_back(frame.time,
                                                             length(state.angular_velocity));
    }
  }
  for (const PlotExpectation &e : expected) {
    if (e.position) {
      for (std::size_t a = 0; a < 3; ++a) {
        const double value = (*e.position)[a];
        picture.panels[a].marks.push_back(
            {e.body, e.time, value, value - e.tolerance, value + e.tolerance});
      }
    }
    if (e.velocity) {
      picture.panels[speed].marks.push_back(speed_mark(e.body, e.time, *e.velocity, e.tolerance));
    }
    if (e.angular_velocity) {
      picture.panels[spin].marks.push_back(
          speed_mark(e.body, e.time, *e.angular_velocity, e.angle_tolerance));
    }
  }
  if (shows_turns(history, expected)) {
    add_turns(picture, history, expected);
  }
}

// The joints' panels: the angles of hinges and universals (a line per axis)
// and their rates, the sliders' positions and their rates.
struct JointPanels {
  Panel angles{"joint angle (rad)", {}, {}};
  Panel angle_rates{"joint rate (rad/s)", {}, {}};
  Panel positions{"slider position (m)", {}, {}};
  Panel position_rates{"slider rate (m/s)", {}, {}};
};

// Each joint expectation on its joint's first line: an angle of a hinge or a
// universal, a position of a slider, and the rate of either.
void mark_joints(JointPanels &panels, const std::vector<std::size_t> &first_key,
                 const BodyHistory &history, const std::vector<PlotJointExpectation> &expected) {
  for (const PlotJointExpectation &e : expected) {
    const JointType type = history.frames.front().joints.at(e.joint).type;
    const bool turns = type == JointType::hinge || type == JointType::universal;
    if (!turns && type != JointType::slider) {
      continue;
    }
    const auto mark = [&](Panel &panel, std::optional<double> value) {
      if (value) {
        panel.marks.push_back(
            {first_key[e.joint], e.time, *value, *value - e.tolerance, *value + e.tolerance});
      }
    };
    mark(turns ? panels.angles : panels.positions, turns ? e.angle : e.position);
    mark(turns ? panels.angle_rates : panels.position_rates, e.rate);
  }
}

// The joints' panels, each only when the world has such a joint. A joint
// axis keeps its style on its value's panel and its rate's.
void add_joints(Picture &picture, const BodyHistory &history,
                const std::vector<PlotJointExpectation> &expected) {
  if (history.frames.empty()) {
    return;
  }
  JointPanels panels;
  std::vector<std::size_t> first_key(history.joints.size());
  for (std::size_t j = 0; j < history.joints.size(); ++j) {
    const JointType type = history.frames.front().joints[j].type;
    const auto add = [&](const std::string &name, Panel &values, auto value, Panel &rates,
                         auto rate) {
      const std::size_t key = picture.legend.size();
      picture.legend.push_back(name);
      values.series.push_back({key, {}});
      rates.series.push_back({key, {}});
      for (const BodyFrame &frame : history.frames) {
        values.series.back().points.emplace_back(frame.time, value(frame.joints[j]));
        rates.series.back().points.emplace_back(frame.time, rate(frame.joints[j]));
      }
      return key;
    };
    const std::string &name = history.joints[j];
    if (type == JointType::hinge || type == JointType::universal) {
      first_key[j] = add(
          name, panels.angles, [](const JointState &s) { return s.angle; }, panels.angle_rates,
          [](const JointState &s) { return s.rate; });
    }
    if (type == JointType::universal) {
      add(
          name + " (axis 2)", panels.angles, [](const JointState &s) { return s.angle2; },
          panels.angle_rates, [](const JointState &s) { return s.rate2; });
    }
    if (type == JointType::slider) {
      first_key[j] = add(
          name, panels.positions, [](const JointState &s) { return s.position; },
          panels.position_rates, [](const JointState &s) { return s.rate; });
    }
  }
  mark_joints(panels, first_key, history, expected);
  for (Panel *panel :
       {&panels.angles, &panels.angle_rates, &panels.positions, &panels.position_rates}) {
    if (!panel->series.empty()) {
      picture.panels.push_back(std::move(*panel));
    }
  }
}

}  // namespace

void write_plot(std::ostream &svg, const BodyHistory &history,
                const std::vector<PlotExpectation> &expected,
                const std::vector<PlotJointExpectation> &joints_expected) {
  Picture picture;
  add_bodies(picture, history, expected);
  add_joints(picture, history, joints_expected);
  const std::vector<Panel> &panels = picture.panels;
  Range time;
  for (const BodyFrame &frame : history.frames) {
    time.widen(frame.time);
  }
  for (const PlotExpectation &e : expected) {
    time.widen(e.time);
  }
  for (const PlotJointExpectation &e : joints_expected) {
    time.widen(e.time);
  }
  if (!(time.high > time.low)) {
    time = {std::min(time.low, 0.0), std::min(time.low, 0.0) + 1.0};
  }
  const double height = top + static_cast<double>(panels.size()) * (panel_height + gap);
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << width / 2 << "\" y=\"24\" text-anchor=\"middle\" font-size=\"16\">"
      << "Bodies over time</text>\n";
  for (std::size_t p = 0; p < panels.size(); ++p) {
    draw_panel(svg, panels[p], top + static_cast<double>(p) * (panel_height + gap), time);
  }
  // The legend: one style per body or joint axis, the same in every panel.
  const double x0 = width - right + 16;
  const std::vector<std::string> &legend = picture.legend;
  for (std::size_t b = 0; b < legend.size(); ++b) {
    const double y = top + 10 + static_cast<double>(b) * 20;
    svg << "<line x1=\"" << x0 << "\" x2=\"" << x0 + 34 << "\" y1=\"" << y << "\" y2=\"" << y
        << "\" stroke-width=\"2\" stroke=\"" << colour(b) << "\" stroke-dasharray=\"" << dash(b)
        << "\"/>";
    marker(svg, b, x0 + 17, y);
    svg << "<text x=\"" << x0 + 40 << "\" y=\"" << y + 4 << "\">" << xml_escaped(legend[b])
        << "</text>\n";
  }
  if (!expected.empty() || !joints_expected.empty()) {
    const double y = top + 10 + static_cast<double>(legend.size()) * 20 + 10;
    svg << "<rect x=\"" << x0 + 13 << "\" y=\"" << y - 8 << "\" width=\"8\" height=\"16\" fill=\""
        << "#888\" fill-opacity=\"0.25\" stroke=\"#888\"/><circle cx=\"" << x0 + 17 << "\" cy=\""
        << y << "\" r=\"3\" fill=\"black\"/><text x=\"" << x0 + 40 << "\" y=\"" << y + 4
        << "\">expected, with tolerance</text>\n";
  }
  svg << "</svg>\n";
}

}  // namespace tamrix_host
