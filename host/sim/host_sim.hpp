// host-sim: runs a plug-in's whole life under the host fixture, over the
// standard world or a world file, and reports what happened.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tamrix_host {

// host-sim's whole behaviour; returns the exit status.
int host_sim(const std::vector<std::string> &args, const std::string &default_plugin,
             std::ostream &out, std::ostream &err);

}  // namespace tamrix_host
