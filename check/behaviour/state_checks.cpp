// The checks of the process around the plug-in: what a life leaves changed,
// and whether the library really goes at unload.
#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/judges.hpp"
#include "behaviour/watched_life.hpp"
#include "engine/engine_snapshot.hpp"
#include "inspect/plugin_file.hpp"
#include "observe/heap_count.hpp"
#include "observe/library_threads.hpp"
#include "observe/process_state.hpp"
#include "programs/join.hpp"
#include "programs/meeting.hpp"
#include "sandbox/console.hpp"

namespace plugin_check {
namespace {

constexpr int observed_steps = 3;

ProcessState now() {
  ProcessState state = snapshot();
  state.heap_outstanding = heap_outstanding();
  return state;
}

// One life with services that neither allocate nor print, a snapshot before
// load and after every plug-in call. The heap is counted only inside the
// plug-in's calls, from set-up on.
std::vector<Moment<ProcessState>> observed_life(const std::string &path, Host &host) {
  // Standard output and error go to a file of their own, so a plug-in that
  // points them elsewhere is seen.
  sandbox::capture_console();
  return watched_life<4>(path, host, observed_steps, now,
                         [](const Plugin &plugin, auto tag, auto... args) {
                           if constexpr (std::is_same_v<decltype(tag), hook::set_up_hook>) {
                             count_heap(true);
                           } else {
                             resume_heap_count();
                           }
                           plugin.call(tag, args...);
                           count_heap(false);
                         });
}

std::string change_in(const ProcessState &before, const ProcessState &after, Aspect aspect) {
  for (const Change &change : difference(before, after)) {
    if (change.aspect == aspect) {
      return change.text;
    }
  }
  return {};
}

// The first call after which `aspect` differs from before load, with the
// change, and the call that undid it if one did; then `why` it matters, if
// the change does not say.
Outcome aspect_as_found(const std::string &path, Host &host, Aspect aspect, std::string_view why) {
  const std::vector<Moment<ProcessState>> moments = observed_life(path, host);
  const ProcessState &before = moments.front().seen;
  const std::optional<FirstChange> found = first_change(
      moments, 1, [&](std::size_t i) { return change_in(before, moments[i].seen, aspect); });
  if (!found) {
    return passed();
  }
  std::string text = found->text;
  for (std::size_t later = found->moment + 1; later < moments.size(); ++later) {
    if (change_in(before, moments[later].seen, aspect).empty()) {
      text += ", until " + moments[later].call + " undid it";
      break;
    }
  }
  return failed(why.empty() ? text : text + "; " + std::string(why));
}

}  // namespace

Outcome fp_environment(const std::string &path, Host &host) {
  return aspect_as_found(path, host, Aspect::fp_environment,
                         "the host's own arithmetic runs in the environment a plug-in leaves");
}

const Registration fp_environment_check{{
    .name = "fp-environment",
    .proves = "no call changes the rounding mode, the floating-point traps or flush-to-zero",
    .fix = "restore the floating-point environment before returning",
    .group = Group::process,
    .run_loading = fp_environment,
}};

Outcome signals(const std::string &path, Host &host) {
  return aspect_as_found(path, host, Aspect::signals,
                         "signal actions and the mask belong to the host (its crash reports, "
                         "Ctrl-C)");
}

const Registration signals_check{{
    .name = "signals",
    .proves = "no call changes a signal's action or the calling thread's signal mask",
    .fix = "restore every signal action and the thread's signal mask before returning",
    .platforms = Platforms::linux_only,
    .group = Group::process,
    .elsewhere = "Windows has no signal actions or masks to change",
    .run_loading = signals,
}};

// A thread may run from the call that starts it to the call that stops it:
// only one still running when the life is over is left, named by the call
// after which it was first seen.
Outcome threads_left(const std::string &path, Host &host) {
  if (snapshot().threads() < 0 || thread_ids().empty()) {
    return {Verdict::skip, "this system does not say how many threads a process has"};
  }
  // Only here: another thread already running when a library that asks for
  // an executable stack loads would get one, and the table check see it.
  start_library_helpers();
  const std::vector<Moment<std::vector<long>>> moments = watched_life<4>(
      path, host, observed_steps, thread_ids,
      [](const Plugin &plugin, auto tag, auto... args) { plugin.call(tag, args...); });
  const std::vector<long> &before = moments.front().seen;
  std::vector<long> left;
  std::set_difference(moments.back().seen.begin(), moments.back().seen.end(), before.begin(),
                      before.end(), std::back_inserter(left));
  if (left.empty()) {
    return passed();
  }
  // Per call that started any, in the order of the calls.
  std::vector<std::pair<std::string, long>> started;
  for (const long id : left) {
    const auto seen = std::find_if(moments.begin() + 1, moments.end(), [id](const auto &moment) {
      return std::binary_search(moment.seen.begin(), moment.seen.end(), id);
    });
    const std::string &call = seen->call;
    const auto same = std::find_if(started.begin(), started.end(),
                                   [&call](const auto &entry) { return entry.first == call; });
    if (same != started.end()) {
      ++same->second;
    } else {
      started.emplace_back(call, 1);
    }
  }
  std::string text;
  for (const auto &[call, count] : started) {
    if (!text.empty()) {
      text += "; ";
    }
    text += call;
    text += " started " + std::to_string(count) + (count == 1 ? " thread" : " threads");
  }
  return failed(text + " still running after " + moments.back().call +
                ": one left running when the library is unloaded crashes the host");
}

const Registration threads_left_check{{
    .name = "threads-left",
    .proves = "no thread the plug-in starts is still running after cleanup",
    .fix = "join every thread you start before cleanup returns",
    .group = Group::process,
    .run_loading = threads_left,
}};

Outcome processes_left(const std::string &path, Host &host) {
  return aspect_as_found(path, host, Aspect::processes, {});
}

const Registration processes_left_check{{
    .name = "processes-left",
    .proves = "no call leaves a process of the plug-in's own running",
    .fix = "start no process inside the host, or end and reap each before the call returns",
    .platforms = Platforms::linux_only,
    .group = Group::process,
    .elsewhere = "the processes a process started are read from /proc, on Linux",
    .run_loading = processes_left,
}};

Outcome process_settings(const std::string &path, Host &host) {
  return aspect_as_found(path, host, Aspect::settings,
                         "the working directory, umask, environment and locale are the host's, "
                         "shared by all its code");
}

const Registration process_settings_check{{
    .name = "process-settings",
    .proves = "no call changes the working directory, umask, environment or locale (on Windows: "
              "the working directory and environment)",
    .fix = "restore the working directory, umask, environment and locale before returning",
    .group = Group::process,
    .run_loading = process_settings,
}};

Outcome descriptors_left(const std::string &path, Host &host) {
  if (snapshot().descriptors() < 0) {
    return {Verdict::skip, "this system gives no count of a process's open handles"};
  }
  return aspect_as_found(path, host, Aspect::descriptors, {});
}

const Registration descriptors_left_check{{
    .name = "descriptors-left",
    .proves = "a life closes every descriptor (handle) it opens and leaves 0, 1 and 2 as they were",
    .fix = "close every descriptor you open, and leave standard input, output and error where the "
           "host pointed them",
    .level = Level::warning,
    .group = Group::process,
    .run_loading = descriptors_left,
}};

namespace {

// What the heap holds, or how much more it holds than before.
struct Held {
  long blocks = 0;
  long bytes = 0;
};

Held held_now() { return {heap_outstanding(), heap_outstanding_bytes()}; }

std::string amount(const Held &held) {
  std::string bytes = std::to_string(held.bytes) + (held.bytes == 1 ? " byte" : " bytes");
  if (held.blocks <= 0) {
    return bytes;
  }
  return std::to_string(held.blocks) + (held.blocks == 1 ? " heap block (" : " heap blocks (") +
         bytes + ")";
}

// One life, its calls counted and the checker's between them not.
struct CountedLife {
  Held growth;                     // what the heap holds more at its end than at its start
  std::vector<std::string> calls;  // each hook once, in the order first called
};

// Every block is tagged with the life and the call that made it.
constexpr int calls_per_life = 16;

CountedLife counted_life(const Plugin &plugin, Host &host, int life) {
  CountedLife counted;
  const Held start = held_now();
  const auto call = [&counted, &plugin, life](auto hook, auto... args) {
    auto same = std::find(counted.calls.begin(), counted.calls.end(), hook.name);
    if (same == counted.calls.end()) {
      counted.calls.emplace_back(hook.name);
      same = std::prev(counted.calls.end());
    }
    tag_heap(life * calls_per_life + static_cast<int>(same - counted.calls.begin()));
    resume_heap_count();
    plugin.call(hook, args...);
    count_heap(false);
  };
  stub_life<4>(host, observed_steps, call);
  const Held end = held_now();
  counted.growth = {end.blocks - start.blocks, end.bytes - start.bytes};
  return counted;
}

// A host may call step and collide from a pool of its own, and make new
// threads for it, so one life's step and collide run on threads made for it,
// which end before cleanup. Blocks are judged by what is still held of those
// the threads' calls made, not by the heap's total: a thread's end frees what
// the C library kept for it (strerror's and dlerror's buffers), and the
// threads the checker made; the allocator's own arenas and caches for a new
// thread are never the plug-in's blocks.
constexpr int host_threads = 4;
constexpr int calls_per_host_thread = 16;

struct ThreadedLife {
  Held step;     // held after cleanup, of what step made on the host threads
  Held collide;  // the same, of collide
};

ThreadedLife threaded_life(const Plugin &plugin, Host &host, int life) {
  const int first_tag = life * calls_per_life;
  const int step_tag = first_tag + 2;
  const int collide_tag = first_tag + 3;
  const auto counted = [&plugin](int tag, auto hook, auto... args) {
    tag_heap(tag);
    resume_heap_count();
    plugin.call(hook, args...);
    count_heap(false);
  };
  const Services services = stub_services<4>();
  counted(first_tag, hook::set_up, services.geom_lookup, services.body_lookup,
          services.contact_group, services.send, services.receive, services.console_printf,
          services.time);
  counted(first_tag + 1, hook::init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  {
    const tamrix_host::Running running(
        "tamrix_physics_step and tamrix_physics_collide on 4 host threads made for one life");
    // Made and ended outside the count, but for the threads' own end: the
    // pool waits twice a phase, to start and when done.
    tamrix_host::Meeting meeting(host_threads + 1);
    std::vector<std::thread> threads;
    threads.reserve(host_threads);
    for (int t = 0; t < host_threads; ++t) {
      threads.emplace_back([&plugin, &geometries, &meeting] {
        meeting.arrive_and_wait();
        for (int i = 0; i < calls_per_host_thread; ++i) {
          plugin.call(hook::step.unnamed());
        }
        meeting.arrive_and_wait();
        meeting.arrive_and_wait();
        for (int i = 0; i < calls_per_host_thread; ++i) {
          plugin.call(hook::collide.unnamed(), geometries[0], geometries[1]);
        }
        meeting.arrive_and_wait();
      });
    }
    for (const int tag : {step_tag, collide_tag}) {
      tag_heap(tag);
      resume_heap_count();
      meeting.arrive_and_wait();
      meeting.arrive_and_wait();
      count_heap(false);
    }
    // What a thread's end frees (a thread key's destructor, the C library's
    // buffers for it) counts as freed.
    tag_heap(first_tag + 4);
    resume_heap_count();
    for (std::thread &thread : threads) {
      thread.join();
    }
    count_heap(false);
  }
  empty_contact_group(engine_stubs.group);
  counted(first_tag + 5, hook::cleanup);
  ThreadedLife held;
  held.step.blocks = heap_held_from(step_tag, held.step.bytes);
  held.collide.blocks = heap_held_from(collide_tag, held.collide.bytes);
  return held;
}

// "tamrix_physics_collide on 4 host threads left 4 heap blocks (256 bytes)
// after cleanup", for each hook that left any; empty if none did.
std::string left_on_host_threads(const ThreadedLife &life) {
  std::string text;
  for (const auto &[name, held] :
       {std::pair{hook::step.name, life.step}, std::pair{hook::collide.name, life.collide}}) {
    if (held.blocks > 0) {
      text += (text.empty() ? "" : ", ") + std::string(name) + " on " +
              std::to_string(host_threads) + " host threads left " + amount(held) +
              " after cleanup";
    }
  }
  return text;
}

}  // namespace

// The C library keeps some of what a plug-in's first life makes it allocate
// (the data of a locale once switched to, stdio buffers, dlerror's text) for
// the rest of the process: a warm-up life fills those caches, and only what
// grows again from one life to the next is a leak. Two lives after it must
// both grow, so that a cache filled late is not taken for one.
Outcome heap_balanced(const Plugin &plugin, Host &host) {
  if (std::string why_not; !heap_counting_available(why_not)) {
    return {Verdict::skip, why_not};
  }
  count_heap(true);
  count_heap(false);
  counted_life(plugin, host, 0);
  const Held first = counted_life(plugin, host, 1).growth;
  const int last_life = 2;
  const CountedLife last = counted_life(plugin, host, last_life);
  const Held growth = last.growth;
  if (!(first.blocks > 0 && growth.blocks > 0) && !(first.bytes > 0 && growth.bytes > 0)) {
    // Two lives on threads of their own, both leaving blocks, as above: a
    // cache the first fills late is no leak.
    note("a life with step and collide on " + std::to_string(host_threads) + " host threads");
    const std::string first_threaded = left_on_host_threads(threaded_life(plugin, host, 3));
    const std::string threaded = left_on_host_threads(threaded_life(plugin, host, 4));
    if (first_threaded.empty() || threaded.empty()) {
      return passed();
    }
    return failed(threaded +
                  (threaded == first_threaded ? ", and as much in the life before it"
                                              : ", and some in the life before it") +
                  "; a host that makes new threads for its steps, as a pool does when it "
                  "grows, runs out of memory");
  }
  // Named by the calls of the last life that made blocks still held.
  std::vector<std::pair<std::string, Held>> keepers;
  for (std::size_t i = 0; i < last.calls.size(); ++i) {
    Held kept;
    kept.blocks = heap_held_from(last_life * calls_per_life + static_cast<int>(i), kept.bytes);
    if (kept.blocks > 0) {
      keepers.emplace_back(last.calls[i], kept);
    }
  }
  std::string where;
  if (keepers.size() == 1 && keepers[0].second.blocks == growth.blocks &&
      keepers[0].second.bytes == growth.bytes) {
    where = keepers[0].first + " leaked " + amount(growth) + " per life";
  } else {
    for (const auto &[call, kept] : keepers) {
      where += (where.empty() ? "" : ", ") + call + " kept " + amount(kept);
    }
    where += (where.empty() ? "" : ": ") + std::string("leaked ") + amount(growth) + " per life";
  }
  return failed(where +
                ", counted over two lives after a warm-up life that fills the C library's own "
                "caches; a host that runs many lives runs out of memory");
}

const Registration heap_balanced_check{{
    .name = "heap-balanced",
    .proves = "a life frees every heap block it allocates, once the C library's own caches are "
              "filled, also where step and collide ran on host threads that ended before cleanup",
    .fix = "free every block you allocate before cleanup returns",
    .level = Level::warning,
    .group = Group::process,
    .run = heap_balanced,
}};

namespace {

constexpr int lives_per_load = 3;

// "2nd", "3rd".
std::string ordinal(int n) { return std::to_string(n) + (n == 2 ? "nd" : n == 3 ? "rd" : "th"); }

}  // namespace

// A host that restarts its simulation runs init and cleanup again in the
// same load, as often as its user presses the button. What the first life
// leaves is for the other checks of the process; every later life must
// leave the process as the first did, or a host that restarts ten times
// has ten times the fault.
Outcome lives_in_one_load(const std::string &path, Host &host) {
  sandbox::capture_console();
  const long threads_before = snapshot().threads();
  std::unique_ptr<const Plugin> plugin = load_plugin(path);
  const auto live = [&] {
    stub_life<14>(host, observed_steps,
                  [&plugin](auto hook, auto... args) { plugin->call(hook, args...); });
  };
  // A thread joined at cleanup may take a moment to be gone (an emulator).
  live();
  settled_threads(threads_before);
  const ProcessState after_first = snapshot();
  Outcome outcome = passed();
  for (int life = 2; life <= lives_per_load && outcome.verdict == Verdict::pass; ++life) {
    note("the " + ordinal(life) + " life in one load");
    live();
    settled_threads(after_first.threads());
    const std::vector<Change> changes = difference(after_first, snapshot());
    if (changes.empty()) {
      continue;
    }
    const bool only_descriptors = std::all_of(changes.begin(), changes.end(), [](const Change &c) {
      return c.aspect == Aspect::descriptors;
    });
    outcome = {only_descriptors ? Verdict::warn : Verdict::fail,
               "the " + ordinal(life) + " life in one load (set-up to cleanup, as a host that " +
                   "restarts its simulation runs it) " +
                   tamrix_host::join(changes, " and ", [](const Change &c) { return c.text; }) +
                   ", which the first life had not"};
  }
  unload_unless_running(plugin, threads_before);
  return outcome;
}

const Registration lives_in_one_load_check{{
    .name = "lives-in-one-load",
    .proves = "a 2nd and a 3rd life in the same load, set-up to cleanup, leave the process as "
              "the first life left it",
    .fix = "undo at cleanup what init did, every time, not only the first",
    .group = Group::process,
    .run_loading = lives_in_one_load,
}};

namespace {

// What one load of the plug-in showed over one life.
struct Life {
  std::string rows_after_load;
  std::vector<std::string> console;
  std::vector<std::string> lookups;
};

// Loads the plug-in, runs one life and unloads it.
Life load_and_live(const std::string &path, Host &host) {
  Life life;
  const std::size_t console_from = host.console().size();
  const std::size_t lookups_from = host.body_lookups().size();
  {
    std::unique_ptr<const Plugin> plugin = load_plugin(path);
    life.rows_after_load = differing_rows(plugin->rows(), Services{});
    std::ostringstream sink;
    tamrix_host::run_life(*plugin, host, observed_steps, {"arm", "ghost"}, sink);
    unload_plugin(plugin);
  }
  const std::vector<tamrix_host::ConsoleMessage> console = host.console();
  for (std::size_t i = console_from; i < console.size(); ++i) {
    life.console.push_back(console[i].text);
  }
  const std::vector<tamrix_host::BodyLookup> lookups = host.body_lookups();
  for (std::size_t i = lookups_from; i < lookups.size(); ++i) {
    life.lookups.push_back(lookups[i].name);
  }
  return life;
}

// Why the library at `path` stays loaded: what the file says, where it can.
std::string why_still_loaded(const std::string &path) {
  const std::vector<std::string> reasons = read_plugin_file(path).stays_loaded;
  if (reasons.empty()) {
    return built_for_windows
               ? "the module pinned itself (GetModuleHandleEx with "
                 "GET_MODULE_HANDLE_EX_FLAG_PIN) or loaded itself again"
               : "the file is marked not to be unloaded (linked with -z nodelete), or holds a "
                 "unique symbol (STB_GNU_UNIQUE), which the loader never unloads";
  }
  return tamrix_host::join(reasons, "; ");
}

// How the life after a reload differed from the first; empty when it did not.
std::string how_reload_differs(const Life &first, const Life &second) {
  if (!second.rows_after_load.empty()) {
    return "after unloading and loading again, " + second.rows_after_load + " already held a value";
  }
  if (second.console != first.console) {
    return "loaded a second time, the plug-in sent " + std::to_string(second.console.size()) +
           " console messages over a life, " + "not the " + std::to_string(first.console.size()) +
           " of the first load";
  }
  if (second.lookups != first.lookups) {
    return "loaded a second time, the plug-in asked the body lookup " +
           std::to_string(second.lookups.size()) + " times over a life, not the " +
           std::to_string(first.lookups.size()) + " times of the first load";
  }
  return {};
}

}  // namespace

Outcome reload(const std::string &path, Host &host) {
  const Life first = load_and_live(path, host);
  if (library_still_loaded(path)) {
    return failed(
        "the library stayed loaded after it was unloaded, so the next load gets the "
        "last life's state back: " +
        why_still_loaded(path));
  }
  const Life second = load_and_live(path, host);
  if (std::string changed = how_reload_differs(first, second); !changed.empty()) {
    return failed(changed);
  }
  return passed();
}

const Registration reload_check{{
    .name = "reload",
    .proves = "unloaded, the library leaves the process, and loaded again it starts afresh and "
              "behaves as the first time",
    .fix = "keep no state that outlives an unload, and start every load as the first",
    .group = Group::process,
    .run_loading = reload,
}};

}  // namespace plugin_check
