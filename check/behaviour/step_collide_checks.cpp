// What step and collide, called at every physics step, may do: run from
// many threads at once, and never allocate, print or enter the kernel.
#include <array>
#include <string>
#include <thread>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "engine/engine_snapshot.hpp"
#include "observe/heap_count.hpp"
#include "programs/meeting.hpp"
#include "sandbox/console.hpp"
#include "sandbox/syscall_filter.hpp"

namespace plugin_check {

namespace {

constexpr int thread_count = 8;
constexpr int calls_per_thread = 2000;

}  // namespace

Outcome threads_step_collide(const Plugin &plugin, Host &host) {
  set_up(plugin, Host::services());
  plugin.call(hook::init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  {
    const tamrix_host::Running running(
        "tamrix_physics_step and tamrix_physics_collide from 8 threads");
    // Released together, so the calls overlap even where starting a thread
    // takes longer than one thread's calls (a sanitizer, an emulator).
    tamrix_host::Meeting start(thread_count);
    std::vector<std::jthread> threads;
    threads.reserve(thread_count);
    for (int t = 0; t < thread_count; ++t) {
      threads.emplace_back([&plugin, &geometries, &start, t] {
        start.arrive_and_wait();
        for (int i = 0; i < calls_per_thread; ++i) {
          plugin.call(hook::step.unnamed());
          const auto first = static_cast<std::size_t>(i + t) % geometries.size();
          plugin.call(hook::collide.unnamed(), geometries[first],
                      geometries[(first + 1) % geometries.size()]);
        }
      });
    }
  }
  plugin.call(hook::cleanup);
  return passed();
}

const Registration threads_step_collide_check{{
    .name = "threads-step-collide",
    .proves = "step and collide from 8 threads at once finish",
    .fix = "make step and collide safe on several threads at once",
    .group = Group::step_collide,
    .run = threads_step_collide,
}};

namespace {

// Often enough that a fault of one call in 128, or in a few hundred, shows.
constexpr long measured_calls = 10000;
// Once a fault showed, enough further calls to count it by, and no more: a
// hook that prints at every call is slow to call 10,000 times on some systems.
constexpr long calls_after_fault = 1000;

struct Tally {
  const char *hook;
  long count = 0;       // what the measure counted over all calls
  long calls = 0;       // how many calls were made
  long first_call = 0;  // the call by which it was first seen to count anything; 0: none
};

// Runs step and then collide `measured_calls` times each, with services that
// neither allocate nor print themselves: start() before each hook's calls,
// probe() after each call until it first counts something (the count since
// start(), as far as it looked), stop() after the last.
template <typename Start, typename Probe, typename Stop>
std::array<Tally, 2> measure_step_collide(const Plugin &plugin, Host &host, Start start,
                                          Probe probe, Stop stop) {
  set_up(plugin, stub_services<3>());
  plugin.call(hook::init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  std::array<Tally, 2> tallies = {Tally{hook::step.name}, Tally{hook::collide.name}};
  for (Tally &tally : tallies) {
    const bool stepping = &tally == &tallies.front();
    const tamrix_host::Running running(tally.hook);
    start();
    for (long call = 1; call <= measured_calls &&
                        (tally.first_call == 0 || call <= tally.first_call + calls_after_fault);
         ++call) {
      tally.calls = call;
      if (stepping) {
        plugin.call(hook::step.unnamed());
      } else {
        plugin.call(hook::collide.unnamed(), geometries[0], geometries[1]);
        empty_contact_group(engine_stubs.group);
      }
      if (tally.first_call == 0 && probe() > 0) {
        tally.first_call = call;
      }
    }
    tally.count = stop();
  }
  plugin.call(hook::cleanup);
  return tallies;
}

// "tamrix_physics_step: 78 <what> in 10000 calls, first seen by call 128",
// for each hook that counted anything.
std::string tally_text(const std::array<Tally, 2> &tallies, const std::string &what) {
  std::string text;
  for (const Tally &tally : tallies) {
    if (tally.count > 0) {
      text += (text.empty() ? "" : "; ") + std::string(tally.hook) + ": " +
              std::to_string(tally.count) + " " + what + " in " + std::to_string(tally.calls) +
              " calls, first seen by call " + std::to_string(tally.first_call);
    }
  }
  return text;
}

}  // namespace

Outcome step_collide_no_heap(const Plugin &plugin, Host &host) {
  if (std::string why_not; !heap_counting_available(why_not)) {
    return {Verdict::skip, why_not};
  }
  const std::array<Tally, 2> tallies = measure_step_collide(
      plugin, host, [] { count_heap(true); }, [] { return heap_calls(); },
      [] {
        count_heap(false);
        return heap_calls();
      });
  if (std::string text = tally_text(tallies, "heap allocations"); !text.empty()) {
    return failed(text + "; the host calls these at every physics step");
  }
  return passed();
}

const Registration step_collide_no_heap_check{{
    .name = "step-collide-no-heap",
    .proves = "step and collide never allocate from the heap",
    .fix = "allocate in init and reuse that memory in step and collide",
    .level = Level::warning,
    .group = Group::step_collide,
    .run = step_collide_no_heap,
}};

Outcome step_collide_quiet(const Plugin &plugin, Host &host) {
  if (!sandbox::capture_console()) {
    return {Verdict::skip, "cannot keep this process's standard output to look at it"};
  }
  long long bytes_before = 0;
  std::string moved_before;        // by set-up or init
  std::vector<long long> bytes;    // per hook
  std::vector<std::string> moved;  // per hook
  long calls = 0;
  const auto start = [&] {
    calls = 0;
    console_calls = 0;
    bytes_before = sandbox::console_bytes();
    if (bytes.empty()) {
      moved_before = sandbox::console_moved();
    }
  };
  // Messages are counted at every call; the file's size, which costs system
  // calls (slow ones, under some systems), at every 128th, and where the
  // standard descriptors lead, which costs more, at every 1024th. A
  // descriptor pointed elsewhere counts: what is written through it after
  // that reaches a file this check cannot see.
  const auto probe = [&bytes_before, &calls] {
    constexpr long file_every = 128;
    constexpr long descriptors_every = 1024;
    ++calls;
    long seen = console_calls;
    if (calls % file_every == 0) {
      seen += static_cast<long>(sandbox::console_bytes() - bytes_before);
    }
    if (calls % descriptors_every == 0 && !sandbox::console_moved().empty()) {
      ++seen;
    }
    return seen;
  };
  const auto stop = [&] {
    bytes.push_back(sandbox::console_bytes() - bytes_before);
    moved.push_back(sandbox::console_moved());
    return console_calls.exchange(0);
  };
  const std::array<Tally, 2> tallies = measure_step_collide(plugin, host, start, probe, stop);
  std::string text = tally_text(tallies, "messages to the host's console");
  std::array<Tally, 2> printed = tallies;
  for (std::size_t i = 0; i < printed.size(); ++i) {
    printed.at(i).count = static_cast<long>(bytes.at(i));
  }
  const auto add = [&text](const std::string &more) {
    text += (text.empty() || more.empty() ? "" : "; ") + more;
  };
  add(tally_text(printed, "bytes printed to standard output or error"));
  if (!moved_before.empty()) {
    add("physics_special_init or tamrix_physics_init pointed " + moved_before +
        " away from the host's");
  } else {
    for (std::size_t i = 0; i < tallies.size(); ++i) {
      if (!moved.at(i).empty() && (i == 0 || moved.at(0).empty())) {
        add(std::string(tallies.at(i).hook) + " pointed " + moved.at(i) + " away from the host's");
      }
    }
  }
  if (!text.empty()) {
    return failed(text);
  }
  return passed();
}

const Registration step_collide_quiet_check{{
    .name = "step-collide-quiet",
    .proves = "step and collide write nothing to the host's console, standard output or error",
    .fix = "print from init or cleanup, never from step or collide",
    .level = Level::warning,
    .group = Group::step_collide,
    .run = step_collide_quiet,
}};

Outcome step_collide_no_syscalls(const Plugin &plugin, Host &host) {
  set_up(plugin, stub_services<5>());
  plugin.call(hook::init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  const FilteredRun run = [&plugin, &geometries] {
    const tamrix_host::Running running(
        "tamrix_physics_step and tamrix_physics_collide under a system call filter");
    return run_without_system_calls([&plugin, &geometries] {
      for (int i = 0; i < 100; ++i) {
        plugin.call(hook::step);
        plugin.call(hook::collide, geometries[0], geometries[1]);
        empty_contact_group(engine_stubs.group);
      }
    });
  }();
  plugin.call(hook::cleanup);
  switch (run.end) {
    case FilteredRun::End::clean:
      return passed();
    case FilteredRun::End::called:
      return failed(run.text + "; the host calls these at every physics step");
    case FilteredRun::End::unavailable:
      return {Verdict::skip, run.text};
    case FilteredRun::End::failed:
      break;
  }
  return failed("could not watch step and collide: " + run.text);
}

const Registration step_collide_no_syscalls_check{{
    .name = "step-collide-no-syscalls",
    .proves = "step and collide make no system call",
    .fix = "keep step and collide out of the kernel: no files, clocks, sleeping locks, output "
           "or heap growth",
    .level = Level::warning,
    .platforms = Platforms::linux_only,
    .group = Group::step_collide,
    .elsewhere = "system calls are filtered with seccomp, on Linux",
    .run = step_collide_no_syscalls,
}};

}  // namespace plugin_check
