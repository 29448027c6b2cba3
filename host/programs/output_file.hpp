// Whether a program may write its output to a path the user named: host-sim's
// record and plot, plugin-check's JUnit report. Only a regular file is ever
// replaced, so a FIFO is not blocked on, a device not written to, and a
// device node never turned into a file by a rename.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "programs/visible_text.hpp"

namespace tamrix_host {

// The one-line reason `option`'s `path` must not be written, or empty. Ask
// before the run, and again right before the file is put in place.
inline std::string output_path_refusal(std::string_view option, const std::string &path) {
  const std::string what = platform::not_replaceable(path);
  if (what.empty()) {
    return {};
  }
  return std::string(option) + " " + visible(path) + ": " + what +
         ", not a regular file, and only a regular file is replaced";
}

}  // namespace tamrix_host
