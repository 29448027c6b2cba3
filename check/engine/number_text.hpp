// Engine numbers in report lines: the shortest text that reads back as the
// same value, -9.81, not -9.8100000000000005. The snapshot and the answers
// word their numbers alike, so a value reads the same in either reason.
#pragma once

#include <ode/ode.h>

#include <array>
#include <charconv>
#include <string>

namespace plugin_check {

inline std::string text(double value) {
  std::array<char, 32> digits{};
  auto *const end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  return {digits.data(), end};
}

// "(0, 0, -9.81)" for `count` values.
inline std::string text(const dReal *values, int count) {
  std::string out = "(";
  for (int i = 0; i < count; ++i) {
    out += (i == 0 ? "" : ", ") + text(values[i]);
  }
  return out + ")";
}

}  // namespace plugin_check
