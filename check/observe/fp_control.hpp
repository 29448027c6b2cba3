// The floating-point control registers of the machine, read and put in words;
// one file per architecture (fp_control_x86_64.cpp, fp_control_aarch64.cpp),
// shared by the POSIX snapshot. The phrases below are the same everywhere.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace plugin_check::fp {

// The control words, status flags left out.
std::array<std::uint32_t, 2> read_control();

// How many of the x87 registers hold a value, or -1 on a machine without
// them. Code that leaves them full makes every later long double a NaN.
int x87_registers_in_use();

// The changes from the control words `before` to `after`, in words, the words
// themselves in brackets after the last.
std::vector<std::string> changes(const std::array<std::uint32_t, 2> &before,
                                 const std::array<std::uint32_t, 2> &after);

// Phrases for one change each, kept once: x87 and SSE say the same of one
// fesetround().
class Phrases {
 public:
  void add(const std::string &phrase) {
    if (std::find(list_.begin(), list_.end(), phrase) == list_.end()) {
      list_.push_back(phrase);
    }
  }
  void flag(bool before, bool after, const char *name) {
    if (before != after) {
      add(std::string(after ? "turned on " : "turned off ") + name);
    }
  }
  // `enabled` tells from a word whether the trap named `name` is on.
  void trap(bool before, bool after, const char *name) {
    if (before != after) {
      add(std::string(after ? "enabled the " : "disabled the ") + name + " trap");
    }
  }
  void rounding(const char *before, const char *after) {
    if (std::string(before) != after) {
      add(std::string("changed the rounding mode from ") + before + " to " + after);
    }
  }
  // The phrases, then the words themselves in brackets.
  std::vector<std::string> with_words(const std::string &words) {
    if (list_.empty()) {
      list_.emplace_back("changed the floating-point control");
    }
    list_.back() += " (" + words + ")";
    return list_;
  }

 private:
  std::vector<std::string> list_;
};

inline std::string hex(std::uint32_t word, int digits) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%0*x", digits, word);
  return text.data();
}

inline bool bit(std::uint32_t word, unsigned at) { return ((word >> at) & 1U) != 0; }

// The names of the IEEE exceptions in the order x86 keeps their bits.
inline constexpr std::array<const char *, 6> x86_exceptions = {
    "invalid-operation", "denormal-operand", "divide-by-zero", "overflow", "underflow", "inexact"};

}  // namespace plugin_check::fp
