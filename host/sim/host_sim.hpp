// host-sim: runs a plug-in's whole life under the host fixture, over the
// standard world or a world file, and reports what happened.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tamrix_host {

class Plugin;

// host-sim's whole behaviour; returns the exit status. `loaded`, when given,
// is called once the plug-in is loaded, before any of its code runs.
int host_sim(const std::vector<std::string> &args, const std::string &default_plugin,
             std::ostream &out, std::ostream &err, void (*loaded)(const Plugin &) = nullptr);

}  // namespace tamrix_host
