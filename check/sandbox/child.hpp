// The one way plugin-check runs code it cannot trust: in a child process,
// with a channel back to the parent and a time limit. One implementation per
// system family (child_posix.cpp, child_windows.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_check::sandbox {

// What a child runs; its result is the child's exit status. What it sends with
// child_write() reaches the parent.
using ChildTask = int (*)(const std::vector<std::string> &args);

// The most a child may send; past it the child is stopped, so a child that
// writes without end cannot grow the parent without end.
inline constexpr std::size_t child_output_limit = std::size_t{1} << 20;

struct ChildOutcome {
  enum class End { exited, crashed, timed_out, flooded, not_started };
  End end = End::not_started;
  int exit_status = 0;  // when it exited
  std::string cause;    // the signal or exception when it crashed; the reason it did not start
  std::string output;   // everything it sent up to child_output_limit, even when it was killed
  std::string token;    // what marks the child's own lines in `output` (see protocol.hpp)
};

// Runs task(args) in a child process and kills it once `timeout_seconds` have
// passed, or once it sent more than child_output_limit. Where the system
// cannot fork, the child is this program started again with child_flag first,
// and its main() must hand such a command line to run_as_child(). The child's
// own standard output and error are discarded, so nothing it prints reaches
// the parent's. Whatever the child's end, every process it started, even one
// that left its process group, is killed and reaped before this returns.
ChildOutcome run_child(ChildTask task, const std::vector<std::string> &args,
                       double timeout_seconds);

inline constexpr std::string_view child_flag = "--tamrix-child";

// For main(): runs `task` when `args` (argv without the program) start with
// child_flag and returns its exit status; returns -1 for any other command line.
int run_as_child(ChildTask task, const std::vector<std::string> &args);

// Sends `text` to the parent from inside a child. Texts under 512 bytes arrive
// whole even when several threads send at once.
void child_write(std::string_view text);

// Inside a child: the token the parent marks this child's lines with.
std::string_view child_token();

// Inside a child, where channels are descriptors: the channel's; -1 elsewhere.
int child_channel_fd();

// Inside a child: whether the channel child_write() uses is still the one the
// parent gave it, neither closed nor replaced by another file.
bool child_channel_intact();

// Inside a child: ends it now with `status`, without the program's exit
// handlers, which are the parent's to run.
[[noreturn]] void end_child(int status);

}  // namespace plugin_check::sandbox
