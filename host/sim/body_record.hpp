// What host-sim's --record writes, and what --plot and --replay draw: where
// each body of an engine world is, how it is turned and how fast it moves,
// after every step.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "tamrix_host.hpp"

namespace tamrix_host {

// Every body and joint at one moment, in the order of BodyHistory's names.
struct BodyFrame {
  long step = 0;
  double time = 0.0;
  std::vector<BodyState> bodies;
  std::vector<JointState> joints;
};

// A run's frames, thinned evenly over a long run, the last one always kept.
struct BodyHistory {
  std::vector<std::string> bodies;
  std::vector<std::string> joints;
  std::vector<BodyFrame> frames;
};

class BodyRecorder {
 public:
  // `csv`, when given, gets a header line now and a row per body per sample;
  // with `keep`, frames of the bodies and `joints` are kept for history(),
  // thinned to at most a few thousand over `steps` steps.
  BodyRecorder(std::vector<std::string> bodies, std::vector<std::string> joints, long steps,
               std::ostream *csv, bool keep);

  // The state of every body after `step` steps (0: the start).
  void sample(const Host &host, long step, double time);

  // The kept frames, and the latest sample after them when thinning left it
  // out, so a picture ends where the run did.
  [[nodiscard]] BodyHistory history() const;

 private:
  std::vector<std::string> bodies_;
  std::vector<std::string> joints_;
  std::ostream *csv_;
  bool keep_;
  long stride_;
  std::vector<BodyFrame> frames_;
  BodyFrame latest_;
  bool sampled_ = false;
};

// Why `path` must not be written as the output of `option`: only a regular
// file may be replaced, and never one of `in_use` (the run's other files).
// Empty when it may.
std::string output_refusal(const std::string &option, const std::string &path,
                           const std::vector<std::string> &in_use);

}  // namespace tamrix_host
