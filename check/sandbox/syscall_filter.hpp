// Running code where any system call stops it: a filter of the kernel's on
// Linux, nothing elsewhere (syscall_filter_linux.cpp, syscall_filter_none.cpp).
#pragma once

#include <functional>
#include <string>

namespace plugin_check {

struct FilteredRun {
  enum class End {
    clean,        // `body` finished without a system call
    called,       // text: "<hook> called <system call>"
    unavailable,  // text: why no filter could be set up here
    failed,       // text: how the run ended otherwise
  };
  End end = End::failed;
  std::string text;
};

// Runs `body` in a child process of this one under a filter that stops it at
// its first system call and names the call and the hook tamrix_host::entering()
// last named. The child gets a copy of this process, plug-in included.
FilteredRun run_without_system_calls(const std::function<void()> &body);

}  // namespace plugin_check
