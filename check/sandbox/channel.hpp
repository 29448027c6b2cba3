// The messages a check's child process sends its parent, one a line. Each
// line carries the token the parent gave that child, so whatever else reaches
// the channel (a plug-in writing to every descriptor it inherited) cannot
// pass for the checker's own words.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verdict.hpp"

namespace plugin_check::channel {

enum class Kind {
  entering,  // the plug-in function about to be called; text is its name
  left,      // the plug-in function returned
  result,    // the check's verdict; text is the reason
  note,      // what the check has done to the plug-in, for a crash's reason
};

struct Message {
  Kind kind = Kind::result;
  Verdict verdict = Verdict::fail;  // for results
  std::string text;
};

// Room for one encoded progress line; longer names are cut to fit.
inline constexpr std::size_t progress_line_size = 256;

// A fresh token for one child, from the system's random source.
std::string new_token();

// The line for a result: one line, whatever `reason` holds.
std::string encode_result(std::string_view token, Verdict verdict, std::string_view reason);

// The line for a note: one line, whatever `text` holds.
std::string encode_note(std::string_view token, std::string_view text);

// The line for progress (`hook` null: the hook left), written into `line`
// without touching the heap, so it can be sent while allocations are counted.
// Returns the line's length.
std::size_t encode_progress(std::string_view token, const char *hook,
                            std::array<char, progress_line_size> &line);

// A line built without the heap or locks, for senders that may use neither:
// one counting allocations, or a signal handler. Parts past its room are cut.
class FixedLine {
 public:
  FixedLine &add(std::string_view part);
  FixedLine &add(long number);
  // The line so far, ended by its newline.
  std::string_view text();

 private:
  std::array<char, progress_line_size> text_{};
  std::size_t size_ = 0;  // without the newline
};

// The start of a result line; its reason follows with add().
FixedLine result_line(std::string_view token, Verdict verdict);

struct Decoded {
  std::vector<Message> messages;  // those that carried the token, in order
  bool forged = false;            // a line that looked like a result but lacked the token
  std::size_t before_forged = 0;  // how many of `messages` came before the first such line
};

// Reads everything a child sent.
Decoded decode(std::string_view output, std::string_view token);

}  // namespace plugin_check::channel
