// What a check finds, as the report, the JUnit file and the checks
// themselves speak of it.
#pragma once

#include <string>
#include <utility>

namespace plugin_check {

enum class Verdict { pass, warn, fail, skip };

// "PASS", "WARN", "FAIL" or "SKIP", as the report prints it.
constexpr const char *verdict_word(Verdict verdict) {
  switch (verdict) {
    case Verdict::pass:
      return "PASS";
    case Verdict::warn:
      return "WARN";
    case Verdict::fail:
      return "FAIL";
    case Verdict::skip:
      return "SKIP";
  }
  return "FAIL";
}

// What one check concluded, and why, in words a plug-in author understands;
// the reason is empty for a pass.
struct Outcome {
  Verdict verdict;
  std::string reason;
};

inline Outcome passed() { return {Verdict::pass, {}}; }
inline Outcome failed(std::string reason) { return {Verdict::fail, std::move(reason)}; }
inline Outcome skipped(std::string reason) { return {Verdict::skip, std::move(reason)}; }

// One line of the report: a check's outcome, judged by its level.
struct Finding {
  std::string check;  // the check's name, short and stable
  Verdict verdict;
  std::string reason;    // for anything but a pass, in words a plug-in author understands
  std::string fix = {};  // for a failure or a warning, what to do about it
  // What the run itself says of how the verdict was reached, beside it (a
  // check tried twice); empty for most.
  std::string note = {};
};

}  // namespace plugin_check
