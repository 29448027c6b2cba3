#include "sim/hang.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "tamrix_host.hpp"

namespace tamrix_host {

void heard(Progress &progress, const char *hook) {
  if (hook != nullptr && std::strcmp(hook, hook::step.name) == 0) {
    progress.steps.fetch_add(1, std::memory_order_relaxed);
  }
  progress.in_hook.store(hook != nullptr ? 1 : 0, std::memory_order_relaxed);
  progress.calls.fetch_add(1, std::memory_order_release);
}

Moment moment_of(const Progress &progress) {
  Moment moment;
  moment.calls = progress.calls.load(std::memory_order_acquire);
  moment.in_hook = progress.in_hook.load(std::memory_order_relaxed) != 0;
  moment.steps = progress.steps.load(std::memory_order_relaxed);
  // The plug-in shares the memory this comes from: nothing beyond the stages.
  const int stage = progress.stage.load(std::memory_order_relaxed);
  moment.stage =
      stage >= static_cast<int>(Stage::starting) && stage <= static_cast<int>(Stage::finished)
          ? static_cast<Stage>(stage)
          : Stage::living;
  return moment;
}

bool HangClock::timed_out(const Moment &moment, bool stopped, bool paused, double now) {
  const bool timed =
      !paused &&
      (stopped || moment.stage == Stage::loading || moment.stage == Stage::unloading ||
       moment.stage == Stage::finished || (moment.stage == Stage::living && moment.in_hook));
  if (!timed || !timing_ || !(moment == last_)) {
    last_ = moment;
    timing_ = timed;
    since_ = now;
    elapsed_ = 0;
    return false;
  }
  // A gap far longer than the watcher's sleep is time host-sim itself did not
  // run (a shell's Ctrl-Z stops both processes), which is nobody's to blame.
  elapsed_ += std::clamp(now - since_, 0.0, 4 * interval());
  since_ = now;
  return elapsed_ >= limit_;
}

double HangClock::interval() const { return std::min(limit_ / 10, 0.5); }

std::string hang_text(const Moment &moment, const std::string &hook, double limit_seconds,
                      const std::string &stop) {
  std::ostringstream seconds;
  seconds << limit_seconds;
  const std::string within = " within " + seconds.str() + " s";
  const std::string stopped = stop.empty() ? "" : ": the process is stopped (" + stop + ")";
  const std::string after = hook.empty() ? "," : " after " + hook + " returned,";
  switch (moment.stage) {
    case Stage::loading:
      return "the plug-in did not finish loading" + within + stopped;
    case Stage::unloading:
      return "the run did not end" + within + after + " while unloading the plug-in" + stopped;
    case Stage::finished:
      return "the run did not end" + within + after + " while the process ended" + stopped;
    case Stage::living:
      if (moment.in_hook && !hook.empty()) {
        const bool in_a_step =
            moment.steps > 0 && (hook == hook::step.name || hook == hook::collide.name);
        return hook + " did not return" + within +
               (in_a_step ? " (step " + std::to_string(moment.steps) + ")" : "") + stopped;
      }
      break;
    case Stage::starting:
      break;
  }
  return "the process was stopped (" + (stop.empty() ? std::string("by a signal") : stop) +
         ") outside any plug-in call, and did not go on" + within;
}

}  // namespace tamrix_host
