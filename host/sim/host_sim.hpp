// host-sim: runs a plug-in's whole life under the host fixture, over the
// standard world or a world file, and reports what happened.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tamrix_host {

class Plugin;

// What the program around host_sim() hears of the plug-in's life besides the
// hooks entering() names; each call is optional.
struct LifeWatch {
  void (*loading)() = nullptr;               // the plug-in is about to be loaded
  void (*loaded)(const Plugin &) = nullptr;  // it is, and none of its hooks has run
  void (*unloading)() = nullptr;             // the life is over: the world goes, then the plug-in
};

// host-sim's whole behaviour; returns the exit status.
int host_sim(const std::vector<std::string> &args, const std::string &default_plugin,
             std::ostream &out, std::ostream &err, const LifeWatch &watch = {});

// The --timeout of `args`, or its default when they give none or cannot be
// used (host_sim() then says why).
double timeout_seconds(const std::vector<std::string> &args);

}  // namespace tamrix_host
