// What a plug-in could leave changed in the process that loaded it, taken as
// one snapshot, and the difference between two snapshots in words. The
// snapshot is the same type everywhere; what fills it, and what the
// floating-point and signal words mean, is in one file per platform family
// (process_state_posix.cpp, process_state_windows.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace plugin_check {

// The parts of a snapshot, one check each.
enum class Aspect {
  fp_environment,  // rounding, traps, flush-to-zero
  signals,         // dispositions and the calling thread's mask
  threads,
  processes,    // processes this one started
  descriptors,  // open descriptors or handles, and what 0, 1 and 2 refer to
  settings,     // working directory, umask, environment, locale
  heap,         // blocks allocated and not freed
};

struct SignalState {
  int number = 0;
  std::uintptr_t handler = 0;  // SIG_DFL, SIG_IGN or the function, as a number
  long flags = 0;
  bool blocked = false;
};

struct ProcessState {
  // The floating-point control registers as the platform names them (MXCSR
  // and the x87 control word, FPCR, or _controlfp's word); status flags left out.
  std::array<std::uint32_t, 2> fp{};
  std::vector<SignalState> signals;             // empty where there are none
  long threads = -1;                            // -1: the system cannot tell
  std::vector<long> children;                   // process ids, sorted
  long descriptors = -1;                        // open descriptors or handles; -1: no count
  std::array<std::string, 3> standard_streams;  // what 0, 1 and 2 refer to
  std::string working_directory;
  int umask = -1;                        // -1: none on this platform
  std::vector<std::string> environment;  // NAME=value, sorted
  std::vector<std::string> locale;       // one CATEGORY=name per category
  long heap_outstanding = 0;             // left for the caller, who counts it (heap_count.hpp)
};

// Everything above, as it stands now.
ProcessState snapshot();

struct Change {
  Aspect aspect;
  // What happened, as said of the call that did it: "turned on flush-to-zero
  // and denormals-are-zero (MXCSR 0x1f80 -> 0x9fc0)", "changed the working
  // directory from /work to /".
  std::string text;
};

// What differs from `before` in `after`, in words, in the order of Aspect.
// The heap is left to the caller, which knows over what span it must balance.
std::vector<Change> difference(const ProcessState &before, const ProcessState &after);

// Whether the library loaded from `path` is still mapped into this process.
bool library_still_loaded(const std::string &path);

// ---- For the platform files: the words only they know.

// The changes of the floating-point words, and the words themselves.
std::vector<std::string> fp_changes(const std::array<std::uint32_t, 2> &before,
                                    const std::array<std::uint32_t, 2> &after);
std::vector<std::string> signal_changes(const std::vector<SignalState> &before,
                                        const std::vector<SignalState> &after);

}  // namespace plugin_check
