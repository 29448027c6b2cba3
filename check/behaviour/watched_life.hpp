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

// What a look saw after `call`: a hook's name, "before load", "loading the
// file" or "unloading the file".
template <typename Seen>
struct Moment {
  std::string call;
  Seen seen;
};

// The load and the unload are named as what runs, so a crash in the
// library's constructors or destructors is blamed on them.
inline std::unique_ptr<const Plugin> load_plugin(const std::string &path) {
  const tamrix_host::Running running("loading the file");
  return std::make_unique<const Plugin>(path);
}

inline void unload_plugin(std::unique_ptr<const Plugin> &plugin) {
  const tamrix_host::Running running("unloading the file");
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

// The life of stub_life<N> with `steps` steps; `look()` is what a moment sees,
// and `call(plugin, hook, args...)` makes each call, so a watcher may count
// what only the plug-in's calls do. Code of the plug-in's may still run after
// cleanup (a thread, a timer's handler): threads-left says so, and here the
// library stays loaded, since unloaded it would crash that code and the report.
template <int N, typename Look, typename Call>
auto watched_life(const std::string &path, Host &host, int steps, Look look, Call call) {
  std::vector<Moment<decltype(look())>> moments;
  const long threads_before = snapshot().threads();
  moments.push_back({"before load", look()});
  std::unique_ptr<const Plugin> plugin = load_plugin(path);
  moments.push_back({"loading the file", look()});
  stub_life<N>(host, steps, [&moments, &plugin, &look, &call](auto hook, auto... args) {
    call(*plugin, hook, args...);
    moments.push_back({hook.name, look()});
  });
  if (settled_threads(threads_before) > threads_before) {
    static_cast<void>(plugin.release());  // NOLINT(bugprone-unused-return-value)
    return moments;
  }
  unload_plugin(plugin);
  moments.push_back({"unloading the file", look()});
  return moments;
}

// Whether the life ended with the library unloaded.
template <typename Seen>
bool unloaded(const std::vector<Moment<Seen>> &moments) {
  return moments.back().call == "unloading the file";
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

}  // namespace plugin_check
