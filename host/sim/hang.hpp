// host-sim's time limit on the plug-in: a hook that does not return, or a
// load, an unload or an end of the process that does not finish, within
// --timeout seconds ends the run with one line and status 3. What is timed,
// and the line, are the same on every system; the supervisor of each system
// family looks, and ends the run.
#pragma once

#include <atomic>
#include <string>

namespace tamrix_host {

// Where the run is, beyond the hook entering() names. Between two hooks the
// host runs its own code, which may take as long as the world asks: only the
// stages and the hooks the plug-in's code fills are timed.
enum class Stage : int { starting, loading, living, unloading, finished };

// What the running process tells its watcher as it goes, without a system
// call: a count that moves with every hook entered or left.
struct Progress {
  std::atomic<unsigned long> calls{0};
  std::atomic<long> steps{0};  // tamrix_physics_step entered so far
  std::atomic<int> in_hook{0};
  std::atomic<int> stage{static_cast<int>(Stage::starting)};
};

// Counts `hook` (null once it returned) into `progress`; safe in a signal
// handler.
void heard(Progress &progress, const char *hook);

// One look at the run, as its watcher reads it.
struct Moment {
  Stage stage = Stage::starting;
  bool in_hook = false;
  unsigned long calls = 0;
  long steps = 0;

  bool operator==(const Moment &) const = default;
};

Moment moment_of(const Progress &progress);

// Tells whether the same timed moment has lasted the limit. Fed a look at a
// time, from a steady clock in seconds.
class HangClock {
 public:
  explicit HangClock(double limit_seconds) : limit_(limit_seconds) {}

  // `stopped`: the process cannot go on by itself (SIGSTOP), which is timed
  // wherever it happens. `paused`: the wait is someone else's (a debugger,
  // the reader of host-sim's output), which is never the plug-in's.
  bool timed_out(const Moment &moment, bool stopped, bool paused, double now);

  // How long the watcher sleeps between two looks.
  [[nodiscard]] double interval() const;

  [[nodiscard]] double limit() const { return limit_; }

 private:
  double limit_;
  Moment last_;
  bool timing_ = false;
  double since_ = 0;  // when the last look was taken
  double elapsed_ = 0;
};

// The one line for a run that timed out at `moment`: "<hook> did not return
// within 10 s (step 3)", and so on. `hook` is the hook entered last; `stop`
// names the signal that stopped the process, or is empty.
std::string hang_text(const Moment &moment, const std::string &hook, double limit_seconds,
                      const std::string &stop);

}  // namespace tamrix_host
