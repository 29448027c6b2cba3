// What the stand-in host needs from the operating system, and nothing else.
// One implementation per system family (platform_posix.cpp,
// platform_windows.cpp); the rest of host/ is the same everywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tamrix_host::platform {

// A loaded library; null means none.
using Library = void *;

// Loads the library at `path` itself, never one found through a search path.
// On failure returns null and sets `reason` to the system's one-line reason.
Library open_library(const std::string &path, std::string &reason);

// The address of the exported `name`, or null.
void *find_symbol(Library library, const char *name);

void close_library(Library library);

// The folder of the running program, ending in its separator; empty when the
// system cannot tell.
std::string program_folder();

// ---- Child processes and crash reports (process_posix.cpp, process_windows.cpp)

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

// Inside a child: whether the channel child_write() uses is still the one the
// parent gave it, neither closed nor replaced by another file.
bool child_channel_intact();

// Inside a child: from now on keeps what the process writes to its standard
// input, output and error in a scratch file instead of discarding it, so that
// console_bytes() can tell whether anything was written. False where it cannot.
bool capture_console();

// Bytes that reached the scratch file since capture_console(), buffered C
// streams included, measured on the file itself: moving a descriptor's offset
// hides nothing.
long long console_bytes();

// The standard descriptors that no longer lead to the scratch file, e.g.
// "standard output"; empty when all three still do.
std::string console_moved();

// Remembers which plug-in function is about to run (a string literal), for the
// crash report below. Safe from any thread; costs one atomic store.
void note_hook(const char *hook);

// From now on a crash writes "<program>: crash in <hook>: <cause>" on the
// standard error and ends the process with status 3. `program` must outlive it.
void report_crashes(const char *program);

}  // namespace tamrix_host::platform
