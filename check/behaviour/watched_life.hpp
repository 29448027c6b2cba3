// One life watched from outside: the plug-in loaded, a life with stand-in
// services, and unloaded, with a look at the process before the load, after
// it, after every call and after the unload. The checks of the process differ
// only in what they look at and how they tell two looks apart.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "observe/process_state.hpp"

namespace plugin_check {

// The names of the moments around the life, and of the load and the unload
// as what runs, so a crash in them is blamed alike everywhere.
inline constexpr char before_the_load[] = "before load";
inline constexpr char loading_the_file[] = "loading the file";
inline constexpr char unloading_the_file[] = "unloading the file";

// What a look saw after `call`: a hook's name or one of the names above.
template <typename Seen>
struct Moment {
  std::string call;
  Seen seen;
};

// The load and the unload are named as what runs, so a crash in the
// library's constructors or destructors is blamed on them.
inline std::unique_ptr<const Plugin> load_plugin(const std::string &path) {
  const tamrix_host::Running running(loading_the_file);
  return std::make_unique<const Plugin>(path);
}

inline void unload_plugin(std::unique_ptr<const Plugin> &plugin) {
  const tamrix_host::Running running(unloading_the_file);
  plugin.reset();
}

// The unload as a child's last act: named until the child ends, since what
// the plug-in leaves behind (an engine handler, a thread) crashes when the
// host is torn down after it, and the unload is what made that a crash.
inline void unload_plugin_at_the_end(std::unique_ptr<const Plugin> &plugin) {
  tamrix_host::entering(unloading_the_file);
  plugin.reset();
}

// How many threads run once those that are ending have ended: a thread
// joined or a timer's notification returns before its thread is gone, so
// waits a little while there are more than `before`.
inline long settled_threads(long before) {
  constexpr int looks = 50;
  constexpr auto between = std::chrono::milliseconds(4);
  long threads = snapshot().threads();
  for (int look = 1; look < looks && threads > before; ++look) {
    std::this_thread::sleep_for(between);
    threads = snapshot().threads();
  }
  return threads;
}

// Unloads the plug-in after cleanup unless code of its may still run there:
// a thread more than the `threads_before` the load found, once those ending
// have ended. Unloaded under such a thread, the library would crash it and
// the report, so it stays loaded (threads-left says so). Fewer threads than
// before run no code of the plug-in's, and a count the platform cannot read
// (-1) keeps nothing loaded. Returns whether it unloaded.
inline bool unload_unless_running(std::unique_ptr<const Plugin> &plugin, long threads_before) {
  if (threads_before >= 0 && settled_threads(threads_before) > threads_before) {
    static_cast<void>(plugin.release());  // NOLINT(bugprone-unused-return-value)
    return false;
  }
  unload_plugin(plugin);
  return true;
}

// The life of stub_life<N> with `steps` steps; `look()` is what a moment sees,
// and `call(plugin, hook, args...)` makes each call, so a watcher may count
// what only the plug-in's calls do. A life whose plug-in stays loaded (see
// unload_unless_running) has no moment of the unload.
template <int N, typename Look, typename Call>
auto watched_life(const std::string &path, Host &host, int steps, Look look, Call call) {
  std::vector<Moment<decltype(look())>> moments;
  const long threads_before = snapshot().threads();
  moments.push_back({before_the_load, look()});
  std::unique_ptr<const Plugin> plugin = load_plugin(path);
  moments.push_back({loading_the_file, look()});
  stub_life<N>(host, steps, [&moments, &plugin, &look, &call](auto hook, auto... args) {
    call(*plugin, hook, args...);
    moments.push_back({hook.name, look()});
  });
  if (unload_unless_running(plugin, threads_before)) {
    moments.push_back({unloading_the_file, look()});
  }
  return moments;
}

// Whether the life ended with the library unloaded.
template <typename Seen>
bool unloaded(const std::vector<Moment<Seen>> &moments) {
  return moments.back().call == unloading_the_file;
}

// The first moment, from `start` on, at which `change(i)` tells of a change.
struct FirstChange {
  std::size_t moment;
  std::string text;  // the call, then the change: "tamrix_physics_init changed ..."
};

template <typename Seen, typename Change>
std::optional<FirstChange> first_change(const std::vector<Moment<Seen>> &moments, std::size_t start,
                                        Change change) {
  for (std::size_t i = start; i < moments.size(); ++i) {
    if (std::string text = change(i); !text.empty()) {
      return FirstChange{i, moments[i].call + " " + text};
    }
  }
  return std::nullopt;
}

// The first moment of the last run, from `start` on, at which `holds(i)`:
// the call from which what is seen at the end has held. moments.size() when
// it does not hold at the last moment.
template <typename Seen, typename Holds>
std::size_t held_since(const std::vector<Moment<Seen>> &moments, std::size_t start, Holds holds) {
  std::size_t from = moments.size();
  while (from > start && holds(from - 1)) {
    --from;
  }
  return from;
}

}  // namespace plugin_check
