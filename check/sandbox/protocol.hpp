// What a child says to its parent and how the parent reads it: progress as
// the plug-in's functions are entered and left, notes, and one result. The
// lines travel over the child's channel (child.hpp), in channel.hpp's words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sandbox/child.hpp"
#include "verdict.hpp"

namespace plugin_check::sandbox {

// ---- The child's side

// For tamrix_host::set_hook_listener(): tells the parent which plug-in
// function runs. Never allocates, so it can run while the heap is counted;
// called from one thread at a time.
void send_progress(const char *hook);

// Tells the parent what the child has done to the plug-in, for the reason of
// a crash or a hang that follows; the last note counts.
void send_note(std::string_view text);

// The child's one result. Where the plug-in took the channel away, the child
// ends at once with a status that says so, since no line can.
void send_result(Verdict verdict, std::string_view reason);

// ---- The parent's side

struct Heard {
  enum class End {
    result,       // the child sent its result and ended well: `verdict` and `reason` are its
    failed,       // it did not, or forged one: `reason` says what the plug-in did
    not_started,  // `reason` says why no child could run
  };
  End end = End::not_started;
  Verdict verdict = Verdict::fail;
  std::string reason;
  std::string hook;      // the plug-in function the child was in at its end; empty if none
  ChildOutcome outcome;  // how the process ended, for a caller's own words

  // Whether the time limit stopped the child.
  [[nodiscard]] bool timed_out() const {
    return end == End::failed && outcome.end == ChildOutcome::End::timed_out;
  }
};

// Runs task(args) in a child (see run_child()) and reads what it said.
// `second_try` says, when it runs out of time, that this was the second time.
Heard run_in_child(ChildTask task, const std::vector<std::string> &args, double timeout_seconds,
                   bool second_try = false);

}  // namespace plugin_check::sandbox
