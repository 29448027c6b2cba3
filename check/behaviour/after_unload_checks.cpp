// After the last life the host unloads the plug-in and goes on: it forks,
// ends the threads that called the plug-in, prints, reads its input and its
// environment, takes signals and has a forked child exit. Whatever the
// plug-in left registered in the C library or the kernel points into memory
// that is gone by then.
#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/lives.hpp"
#include "behaviour/watched_life.hpp"
#include "observe/heap_count.hpp"
#include "observe/host_moves.hpp"
#include "observe/pointer_scan.hpp"
#include "observe/process_state.hpp"

namespace plugin_check {
namespace {

constexpr int steps_on_host_thread = 8;
// Long enough for a watchdog a plug-in arms for a step, short enough for a run.
constexpr double timer_wait_limit = 3.0;
// Long past what an exit takes, under an emulator too.
constexpr double exit_wait_limit = 5.0;
// Places named in the report; the rest are counted.
constexpr std::size_t places_named = 3;

// A host thread that steps the plug-in, or only looks bodies up with
// getBody, then waits, alive, until the plug-in is gone, and only then takes
// a signal and ends: what a thread-key destructor or an alternate stack the
// plug-in left on it meets. Each move is made on the thread, one at a time,
// at the caller's word.
class HostThread {
 public:
  // Started before the load, so the threads the plug-in starts are told
  // apart. `whose` names the thread in the report, and with `taking`, what
  // the thread ended meets: both string literals.
  HostThread(const char *whose, const char *taking, const char *ending)
      : whose_(whose), taking_(taking), ending_(ending), thread_([this] { serve(); }) {}
  HostThread(const HostThread &) = delete;
  HostThread &operator=(const HostThread &) = delete;
  HostThread(HostThread &&) = delete;
  HostThread &operator=(HostThread &&) = delete;
  ~HostThread() { end(); }

  // Steps the plug-in on the thread, and returns once it did.
  void step(const Plugin &plugin, const std::vector<tamrix_geom_handle> &geometries) {
    plugin_ = &plugin;
    geometries_ = &geometries;
    ask(Move::step);
  }

  // Looks bodies up on the thread, and returns once it did.
  void look_up(const Plugin &plugin) {
    plugin_ = &plugin;
    ask(Move::look_up);
  }

  // After unload: the thread takes a signal; what went wrong.
  std::string take_signal() {
    ask(Move::signal);
    return fault_;
  }

  // After unload: the thread ends.
  void end() {
    ask(Move::end);
    if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  enum class Move { none, step, look_up, signal, end };

  void ask(Move move) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (asked_ == Move::end) {
      return;
    }
    asked_ = move;
    changed_.notify_all();
    // The end is the thread's own: its key destructors run as it returns.
    changed_.wait(lock, [this] { return asked_ == Move::none || asked_ == Move::end; });
  }

  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return asked_ != Move::none; });
      switch (asked_) {
        case Move::step:
          for (int i = 0; i < steps_on_host_thread; ++i) {
            plugin_->call(hook::step);
            plugin_->call(hook::collide, (*geometries_)[0], (*geometries_)[1]);
          }
          break;
        case Move::look_up:
          for (const char *name : {"arm", "ghost"}) {
            plugin_->call(hook::get_body, name);
          }
          break;
        case Move::signal:
          moves::making(taking_, "its alternate signal stack (sigaltstack)");
          fault_ = moves::take_signal(whose_);
          break;
        case Move::end:
          moves::making(ending_, "a thread-key destructor (pthread_key_create)");
          changed_.notify_all();
          return;
        case Move::none:
          break;
      }
      asked_ = Move::none;
      changed_.notify_all();
    }
  }

  const char *whose_;
  const char *taking_;
  const char *ending_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const Plugin *plugin_ = nullptr;
  const std::vector<tamrix_geom_handle> *geometries_ = nullptr;
  Move asked_ = Move::none;
  std::string fault_;
  std::thread thread_;
};

// The host's moves after unload, in the order a host makes them; the first
// that goes wrong, or empty.
std::string host_goes_on(HostThread &stepper, HostThread &looker) {
  moves::report_crashes();
  const std::array<std::function<std::string()>, 12> next = {
      [] {
        moves::making("a signal taken by the thread that called tamrix_physics_init",
                      "its alternate signal stack (sigaltstack)");
        return moves::take_signal("the thread that called tamrix_physics_init");
      },
      moves::fork_and_reap,
      moves::print_to_both,
      moves::read_input,
      moves::read_environment,
      [] { return moves::exit_in_forked_child(exit_wait_limit); },
      [&stepper] { return stepper.take_signal(); },
      [&stepper] {
        stepper.end();
        return std::string();
      },
      [&looker] { return looker.take_signal(); },
      [&looker] {
        looker.end();
        return std::string();
      },
      [] {
        moves::making("a thread the host started after unload", nullptr);
        std::thread([] {}).join();
        return std::string();
      },
      [] { return moves::wait_for_timers(timer_wait_limit); },
  };
  std::string fault;
  for (const auto *move = next.begin(); fault.empty() && move != next.end(); ++move) {
    fault = (*move)();
  }
  moves::making(nullptr, nullptr);
  return fault;
}

// Where the process still points into the unloaded plug-in, as one
// failure, or empty.
std::string pointers_left(bool heap_wiped) {
  std::size_t total = 0;
  const std::vector<std::string> places = pointers::left_pointing(places_named, total, heap_wiped);
  std::string text;
  bool fork_handlers = false;
  for (const std::string &place : places) {
    text += (text.empty() ? "after unload, " : "; ") + place;
    fork_handlers = fork_handlers || place.find(pointers::fork_handler_table) != std::string::npos;
  }
  if (total > places.size()) {
    text += "; and " + std::to_string(total - places.size()) + " more";
  }
  if (text.empty()) {
    return text;
  }
  // The C library runs fork handlers until their library's unload, and has
  // no call that removes one: cleanup cannot undo them.
  return text + (fork_handlers ? ": no fork handler can be removed, so from cleanup to the unload "
                                 "every fork of the host's ran the plug-in's; register no fork "
                                 "handler from a plug-in"
                               : ", where the host may follow it into memory that is gone");
}

}  // namespace

Outcome life_after_unload(const std::string &path, Host &host) {
  fresh_standard_streams();  // as a host's, before it has printed
  // From here on a freed block holds nothing: the scan after unload reads
  // only what someone still holds.
  const bool heap_wiped = wipe_freed_blocks(true);
  moves::give_input();
  auto stepper =
      std::make_unique<HostThread>("a host thread that had called the plug-in",
                                   "a signal taken by a host thread that had called the plug-in",
                                   "the end of a host thread that had called the plug-in");
  auto looker =
      std::make_unique<HostThread>("a host thread that had only called getBody",
                                   "a signal taken by a host thread that had only called getBody",
                                   "the end of a host thread that had only called getBody");
  const long threads_before = snapshot().threads();
  auto plugin = load_plugin(path);
  moves::remember_library_of(plugin->address(hook::step));
  pointers::record_library_of(plugin->address(hook::step));
  pointers::checkers_copy_at(plugin.get(), sizeof(Plugin));
  set_up(*plugin, stub_services<10>());
  plugin->call(hook::init);
  plugin->call(hook::get_body, "arm");
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  stepper->step(*plugin, geometries);
  looker->look_up(*plugin);
  plugin->call(hook::cleanup);
  if (!unload_unless_running(plugin, threads_before)) {
    return skipped(
        "a thread of the plug-in's still ran after cleanup, so it was not unloaded (see "
        "threads-left)");
  }
  // Read while the thread that stepped still waits; said after the host's
  // moves, whose crash, if one comes, names its cause more exactly.
  const std::string left = pointers_left(heap_wiped);
  if (std::string fault = host_goes_on(*stepper, *looker); !fault.empty()) {
    // Its threads, if they still wait, are left waiting: ended now they would
    // meet what the plug-in left on them before the report is out.
    static_cast<void>(stepper.release());  // NOLINT(bugprone-unused-return-value)
    static_cast<void>(looker.release());   // NOLINT(bugprone-unused-return-value)
    return failed(fault + "; the host goes on after unload");
  }
  if (!left.empty()) {
    return failed(left);
  }
  return passed();
}

const Registration life_after_unload_check{{
    .name = "life-after-unload",
    .proves = "after cleanup and unload the host forks, ends its threads (one that stepped, one "
              "that only called getBody), prints, reads its standard input and its "
              "environment, takes signals, outlives any timer and has a forked child call exit() "
              "without a crash, and no word of the process's writable memory points into the "
              "unloaded plug-in",
    .fix = "undo whatever you register with the C library or the kernel before cleanup returns",
    .platforms = Platforms::all,
    .group = Group::after_unload,
    // A Windows module leaves no fork handler, signal stack or interval
    // timer: there the host's moves are only the end of its threads.
    .crash_context = " (the plug-in had been unloaded; what crashed is what it left registered)",
    .run_loading = life_after_unload,
}};

}  // namespace plugin_check
