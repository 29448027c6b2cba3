#include "sim/body_record.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <ostream>
#include <sstream>
#include <system_error>
#include <utility>

#include "programs/output_file.hpp"
#include "programs/xml_text.hpp"

namespace tamrix_host {
namespace {

// Enough points for a smooth line, few enough for a viewer to open at once.
constexpr long most_points = 4000;

std::string number(double value, int digits = 10) {
  std::array<char, 40> text{};
  std::snprintf(text.data(), text.size(), "%.*g", digits, value);
  return text.data();
}

// A field as a CSV reader takes it back: quoted when it holds a separator,
// a quote or a line break.
std::string csv_field(const std::string &text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    return text;
  }
  std::string out = "\"";
  for (const char c : text) {
    out += c;
    if (c == '"') {
      out += '"';
    }
  }
  return out + '"';
}

// 1, 2 or 5 times a power of ten, giving about `wanted` ticks over `span`.
double tick_step(double span, int wanted) {
  const double rough = span / wanted;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= rough) {
      return factor * power;
    }
  }
  return 10.0 * power;
}

// Widened to whole ticks, and never narrower than a metre, so a body at
// rest (give or take the engine's rounding) is a flat line in the middle.
BodyRecorder::Range padded(BodyRecorder::Range range) {
  if (!(range.high - range.low >= 1e-3)) {
    const double middle = (range.low + range.high) / 2;
    range = {middle - 0.5, middle + 0.5};
  }
  const double step = tick_step(range.high - range.low, 5);
  return {std::floor(range.low / step) * step, std::ceil(range.high / step) * step};
}

constexpr std::array<const char *, 8> colours = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                                 "#ff7f0e", "#17becf", "#8c564b", "#e377c2"};

}  // namespace

BodyRecorder::BodyRecorder(std::vector<std::string> bodies, long steps, std::ostream *csv,
                           bool plot)
    : bodies_(std::move(bodies)),
      csv_(csv),
      plot_(plot),
      stride_(std::max(1L, (steps + most_points - 1) / most_points)),
      points_(bodies_.size()) {
  if (csv_ != nullptr) {
    *csv_ << "step,time,body,x,y,z,qw,qx,qy,qz,vx,vy,vz\n";
  }
}

void BodyRecorder::sample(const Host &host, long step, double time) {
  const bool keep = plot_ && step % stride_ == 0;
  for (std::size_t i = 0; i < bodies_.size(); ++i) {
    const BodyState state = host.body_state(bodies_[i]);
    if (csv_ != nullptr) {
      std::ostream &out = *csv_;
      out << step << ',' << number(time) << ',' << csv_field(bodies_[i]);
      for (const double value : state.position) {
        out << ',' << number(value);
      }
      for (const double value : state.orientation) {
        out << ',' << number(value);
      }
      for (const double value : state.velocity) {
        out << ',' << number(value);
      }
      out << '\n';
    }
    if (keep) {
      points_[i].push_back({time, state.position});
    }
  }
}

namespace {

// The picture's layout, in SVG units.
constexpr double width = 860;
constexpr double left = 80;
constexpr double right = 170;  // room for the legend
constexpr double top = 50;
constexpr double panel = 190;
constexpr double gap = 60;
constexpr double plot_width = width - left - right;

// Ticks at whole multiples of `step` from `low` to `high`, counted in whole
// numbers so rounding never adds or drops one.
template <typename Draw>
void ticks(double low, double high, double step, Draw draw) {
  const auto first = static_cast<long>(std::ceil(low / step - 1e-9));
  const auto last = static_cast<long>(std::floor(high / step + 1e-9));
  for (long tick = first; tick <= last; ++tick) {
    draw(static_cast<double>(tick) * step);
  }
}

}  // namespace

void BodyRecorder::draw_panel(std::ostream &svg, std::size_t axis, Range time, Range range) const {
  constexpr std::array<const char *, 3> axes = {"x", "y", "z"};
  const double y0 = top + static_cast<double>(axis) * (panel + gap);
  const auto x_of = [&](double t) {
    return left + (t - time.low) / (time.high - time.low) * plot_width;
  };
  const auto y_of = [&](double v) {
    return y0 + panel - (v - range.low) / (range.high - range.low) * panel;
  };
  svg << "<g>\n<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << plot_width
      << "\" height=\"" << panel << "\" fill=\"none\" stroke=\"#444\"/>\n";
  ticks(range.low, range.high, tick_step(range.high - range.low, 5), [&](double v) {
    const std::string y = number(y_of(v), 6);
    svg << "<line x1=\"" << left << "\" x2=\"" << left + plot_width << "\" y1=\"" << y << "\" y2=\""
        << y << "\" stroke=\"#ddd\"/><text x=\"" << left - 6 << "\" y=\"" << number(y_of(v) + 4, 6)
        << "\" text-anchor=\"end\">" << number(v, 6) << "</text>\n";
  });
  ticks(time.low, time.high, tick_step(time.high - time.low, 8), [&](double t) {
    const std::string x = number(x_of(t), 6);
    svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << y0 << "\" y2=\"" << y0 + panel
        << "\" stroke=\"#eee\"/><text x=\"" << x << "\" y=\"" << y0 + panel + 16
        << "\" text-anchor=\"middle\">" << number(t, 6) << "</text>\n";
  });
  svg << "<text x=\"" << left + plot_width / 2 << "\" y=\"" << y0 + panel + 34
      << "\" text-anchor=\"middle\">time (s)</text>\n"
      << "<text transform=\"translate(" << left - 52 << ' ' << y0 + panel / 2
      << ") rotate(-90)\" text-anchor=\"middle\">" << axes[axis] << " (m)</text>\n";
  for (std::size_t b = 0; b < points_.size(); ++b) {
    svg << "<polyline fill=\"none\" stroke-width=\"1.5\" stroke=\"" << colours[b % colours.size()]
        << "\" points=\"";
    for (const Point &point : points_[b]) {
      svg << number(x_of(point.time), 7) << ',' << number(y_of(point.position[axis]), 7) << ' ';
    }
    svg << "\"/>\n";
  }
  svg << "</g>\n";
}

void BodyRecorder::write_plot(std::ostream &svg) const {
  const double height = top + 3 * panel + 3 * gap;
  // The ranges of the time and of each coordinate over every point.
  Range time{std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest()};
  std::array<Range, 3> coordinate{time, time, time};
  const auto widen = [](Range &range, double value) {
    range = {std::min(range.low, value), std::max(range.high, value)};
  };
  for (const auto &points : points_) {
    for (const Point &point : points) {
      widen(time, point.time);
      for (std::size_t a = 0; a < 3; ++a) {
        widen(coordinate[a], point.position[a]);
      }
    }
  }
  if (!(time.high > time.low)) {
    time = {0.0, 1.0};
  }
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << width / 2 << "\" y=\"24\" text-anchor=\"middle\" font-size=\"16\">"
      << "Body positions over time</text>\n";
  for (std::size_t a = 0; a < 3; ++a) {
    draw_panel(svg, a, time, padded(coordinate[a]));
  }
  // The legend: one colour per body, the same in every panel.
  for (std::size_t b = 0; b < bodies_.size(); ++b) {
    const double y = top + 10 + static_cast<double>(b) * 20;
    svg << "<line x1=\"" << width - right + 16 << "\" x2=\"" << width - right + 40 << "\" y1=\""
        << y << "\" y2=\"" << y << "\" stroke-width=\"3\" stroke=\"" << colours[b % colours.size()]
        << "\"/><text x=\"" << width - right + 46 << "\" y=\"" << y + 4 << "\">"
        << xml_escaped(bodies_[b]) << "</text>\n";
  }
  svg << "</svg>\n";
}

std::string output_refusal(const std::string &option, const std::string &path,
                           const std::vector<std::string> &in_use) {
  if (std::string refusal = output_path_refusal(option, path); !refusal.empty()) {
    return refusal;
  }
  const std::string named = option + " " + path;
  for (const std::string &other : in_use) {
    std::error_code unrelated;
    if (!other.empty() && (other == path || std::filesystem::equivalent(path, other, unrelated))) {
      return named + ": the run reads or writes that file already";
    }
  }
  return {};
}

}  // namespace tamrix_host
