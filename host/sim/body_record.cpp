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

// Enough frames for a smooth line, few enough for a viewer to open at once;
// a world of many bodies keeps fewer, so the kept states stay a few tens of
// megabytes.
constexpr long most_frames = 4000;
constexpr long most_states = 400000;

long frames_for(std::size_t bodies) {
  const long per_body = most_states / std::max(1L, static_cast<long>(bodies));
  return std::clamp(per_body, 10L, most_frames);
}

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

}  // namespace

BodyRecorder::BodyRecorder(std::vector<std::string> bodies, std::vector<std::string> joints,
                           long steps, std::ostream *csv, bool keep)
    : bodies_(std::move(bodies)),
      joints_(std::move(joints)),
      csv_(csv),
      keep_(keep),
      stride_(std::max(1L, (steps + frames_for(bodies_.size() + joints_.size()) - 1) /
                               frames_for(bodies_.size() + joints_.size()))) {
  if (csv_ != nullptr) {
    *csv_ << "step,time,body,x,y,z,qw,qx,qy,qz,vx,vy,vz\n";
  }
}

void BodyRecorder::sample(const Host &host, long step, double time) {
  BodyFrame frame{step, time, {}, {}};
  frame.bodies.reserve(bodies_.size());
  for (const std::string &body : bodies_) {
    frame.bodies.push_back(host.body_state(body));
  }
  if (keep_) {
    frame.joints.reserve(joints_.size());
    for (const std::string &joint : joints_) {
      frame.joints.push_back(host.joint_state(joint));
    }
  }
  if (csv_ != nullptr) {
    std::ostream &out = *csv_;
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
      const BodyState &state = frame.bodies[i];
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
  }
  if (!keep_) {
    return;
  }
  if (step % stride_ == 0) {
    frames_.push_back(frame);
  }
  latest_ = std::move(frame);
  sampled_ = true;
}

BodyHistory BodyRecorder::history() const {
  BodyHistory history{bodies_, joints_, frames_};
  if (sampled_ && (frames_.empty() || frames_.back().step != latest_.step)) {
    history.frames.push_back(latest_);
  }
  return history;
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
