// The contract lets step and collide run on any thread at the same time, so
// a host may call them from a pool of its own. What a call changes on one of
// those threads, or only while another call runs, is as much the host's
// problem as a change on the thread that called init: this check finds it
// and names the thread and the call.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/lives.hpp"
#include "observe/process_state.hpp"
#include "programs/join.hpp"
#include "programs/meeting.hpp"

namespace plugin_check {
namespace {

constexpr int host_threads = 4;
// Each thread's calls per phase: enough that calls released together by the
// barrier still overlap where starting them takes a while (an emulator).
constexpr int calls_per_phase = 64;
constexpr int overlap_rounds = 8;
// Calls of one phase that must begin while another runs, and how long a
// phase may try for them.
constexpr long overlaps_wanted = 1024;
constexpr std::chrono::milliseconds overlap_time_limit{4};

using Clock = std::chrono::steady_clock;

enum class Call { none, step, collide };

const char *call_name(Call call) {
  return call == Call::step ? hook::step.name : hook::collide.name;
}

// What each host thread calls in one phase; Call::none sits it out.
using Assignment = std::array<Call, host_threads>;

// First each thread alone, step then collide, so a change is pinned on one
// thread and one call; then all at once, by turns every thread stepping, and
// step on every other thread overlapping collide on the rest.
std::vector<Assignment> phases() {
  std::vector<Assignment> all;
  for (std::size_t t = 0; t < host_threads; ++t) {
    for (const Call call : {Call::step, Call::collide}) {
      Assignment alone{};
      alone.at(t) = call;
      all.push_back(alone);
    }
  }
  for (std::size_t round = 0; round < overlap_rounds; ++round) {
    Assignment together{};
    for (std::size_t t = 0; t < host_threads; ++t) {
      const bool steps = round % 2 == 0 || (t + round / 2) % 2 == 0;
      together.at(t) = steps ? Call::step : Call::collide;
    }
    all.push_back(together);
  }
  return all;
}

// "tamrix_physics_step on host threads 1 and 3 overlapped tamrix_physics_collide
// on host threads 2 and 4", "tamrix_physics_step ran on host threads 1, 2, 3
// and 4 at once"
std::string overlap_text(const Assignment &assignment) {
  std::array<std::vector<std::string>, 2> threads;
  for (std::size_t t = 0; t < host_threads; ++t) {
    threads.at(assignment.at(t) == Call::step ? 0 : 1).push_back(std::to_string(t + 1));
  }
  using tamrix_host::listed;
  if (threads[1].empty()) {
    return std::string(hook::step.name) + " ran on host threads " + listed(threads[0]) + " at once";
  }
  return std::string(hook::step.name) + " on host threads " + listed(threads[0]) + " overlapped " +
         hook::collide.name + " on host threads " + listed(threads[1]);
}

int callers(const Assignment &assignment) {
  int count = 0;
  for (const Call call : assignment) {
    count += call == Call::none ? 0 : 1;
  }
  return count;
}

// A snapshot taken by the thread that called init and one by each host
// thread, at the same quiet moment.
struct Snapshots {
  ProcessState init;
  std::array<ProcessState, host_threads> host;
};

// The host threads and the thread that called init, which runs no hook here
// and stands for the process: its snapshots show what changed for every
// thread, and each host thread's own, compared with it at the same moment,
// what changed for that thread alone (its signal mask, its floating-point
// environment).
class Pool {
 public:
  Pool(const Plugin &plugin, const std::vector<tamrix_geom_handle> &geometries)
      : plugin_(plugin), geometries_(geometries) {
    for (std::size_t t = 0; t < host_threads; ++t) {
      threads_.emplace_back([this, t] { serve(t); });
    }
  }
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  Pool(Pool &&) = delete;
  Pool &operator=(Pool &&) = delete;
  ~Pool() {
    assignment_ = {};
    ending_ = true;
    sync_.arrive_and_wait();
  }

  // Every thread's snapshot, taken one at a time with no call running.
  Snapshots snapshots() {
    sync_.arrive_and_wait();  // they take theirs
    sync_.arrive_and_wait();  // taken
    return {snapshot(), taken_};
  }

  // Runs one phase: released together, and back when every call returned.
  void run(const Assignment &assignment) {
    assignment_ = assignment;
    overlapped_ = 0;
    started_ = Clock::now();
    sync_.arrive_and_wait();  // go
    sync_.arrive_and_wait();  // done
  }

 private:
  // Whether a thread makes call `i` of a phase: its share, and in a phase of
  // several callers more until enough calls overlapped (a busy machine may
  // run the threads one after another), or for a bounded time.
  [[nodiscard]] bool more(long i) const {
    if (i < calls_per_phase) {
      return true;
    }
    return callers(assignment_) > 1 && overlapped_ < overlaps_wanted &&
           (i % 64 != 0 || Clock::now() - started_ < overlap_time_limit);
  }

  void serve(std::size_t t) {
    // The first turn is a snapshot, then calls and a snapshot by turns.
    bool snapping = true;
    for (;;) {
      sync_.arrive_and_wait();
      if (ending_) {
        return;
      }
      if (snapping) {
        {
          const std::lock_guard<std::mutex> one_at_a_time(snapping_);
          taken_.at(t) = snapshot();
        }
        sync_.arrive_and_wait();
      } else {
        const Call call = assignment_.at(t);
        for (long i = 0; call != Call::none && more(i); ++i) {
          // Counts the calls that began while another ran.
          if (inside_.fetch_add(1) > 0) {
            ++overlapped_;
          }
          if (call == Call::step) {
            plugin_.call(hook::step.unnamed());
          } else {
            plugin_.call(hook::collide.unnamed(),
                         geometries_[static_cast<std::size_t>(i) % geometries_.size()],
                         geometries_[static_cast<std::size_t>(i + 1) % geometries_.size()]);
          }
          inside_.fetch_sub(1);
        }
        sync_.arrive_and_wait();
      }
      snapping = !snapping;
    }
  }

  const Plugin &plugin_;
  const std::vector<tamrix_geom_handle> &geometries_;
  tamrix_host::Meeting sync_{host_threads + 1};
  std::mutex snapping_;
  Assignment assignment_{};
  std::atomic<int> inside_{0};
  std::atomic<long> overlapped_{0};
  Clock::time_point started_;
  std::array<ProcessState, host_threads> taken_;
  bool ending_ = false;
  std::vector<std::jthread> threads_;
};

std::string changes_text(const std::vector<Change> &changes) {
  return tamrix_host::join(changes, " and ", [](const Change &change) { return change.text; });
}

// What one phase changed, from `last` to `now`, in words; empty if nothing.
// `apart` holds how each host thread differed from the init thread at the
// start; `verdict` turns fail unless only descriptors were left.
std::string phase_changes(const Assignment &phase, const Snapshots &last, const Snapshots &now,
                          const std::array<std::vector<Change>, host_threads> &apart,
                          Verdict &verdict) {
  const auto judge = [&verdict](const std::vector<Change> &changes) {
    for (const Change &change : changes) {
      verdict = change.aspect == Aspect::descriptors ? verdict : Verdict::fail;
    }
  };
  const bool together = callers(phase) > 1;
  if (const std::vector<Change> changed = difference(last.init, now.init); !changed.empty()) {
    judge(changed);
    if (together) {
      return "when " + overlap_text(phase) + ", one of them " + changes_text(changed) +
             ", which none did with one call at a time";
    }
    const auto caller = static_cast<std::size_t>(std::distance(
        phase.begin(), std::ranges::find_if(phase, [](Call call) { return call != Call::none; })));
    return std::string(call_name(phase.at(caller))) + " on host thread " +
           std::to_string(caller + 1) + " " + changes_text(changed);
  }
  for (std::size_t t = 0; t < host_threads; ++t) {
    const std::vector<Change> own =
        changes_since(apart.at(t), difference(now.init, now.host.at(t)));
    if (!own.empty() && phase.at(t) != Call::none) {
      judge(own);
      return (together ? "when " + overlap_text(phase) + ", " : std::string()) +
             call_name(phase.at(t)) + " on host thread " + std::to_string(t + 1) + " " +
             changes_text(own) + " on its own thread";
    }
  }
  return {};
}

}  // namespace

Outcome overlapping_steps(const Plugin &plugin, Host &host) {
  set_up(plugin, stub_services<9>());
  plugin.call(hook::init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  std::string found;
  // A descriptor left open is a warning, as descriptors-left has it.
  Verdict verdict = Verdict::warn;
  {
    const tamrix_host::Running running(
        "tamrix_physics_step and tamrix_physics_collide on 4 host threads");
    Pool pool(plugin, geometries);
    const Snapshots first = pool.snapshots();
    // What already told a host thread from the init thread is no change.
    std::array<std::vector<Change>, host_threads> apart{};
    for (std::size_t t = 0; t < host_threads; ++t) {
      apart.at(t) = difference(first.init, first.host.at(t));
    }
    Snapshots last = first;
    for (const Assignment &phase : phases()) {
      pool.run(phase);
      empty_contact_group(engine_stubs.group);
      Snapshots now = pool.snapshots();
      found = phase_changes(phase, last, now, apart, verdict);
      if (!found.empty()) {
        break;
      }
      last = std::move(now);
    }
  }
  plugin.call(hook::cleanup);
  if (!found.empty()) {
    return {verdict, found + "; a host may call step and collide from any of its threads, at once"};
  }
  return passed();
}

const Registration overlapping_steps_check{{
    .name = "overlapping-steps",
    .proves = "step and collide on 4 host threads, alone and overlapping, change neither the "
              "process nor the calling thread's own state",
    .fix = "leave the process and the calling thread as you found them, on any thread",
    .group = Group::overlap,
    .run = overlapping_steps,
}};

}  // namespace plugin_check
