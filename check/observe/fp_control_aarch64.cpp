// AArch64 keeps the whole floating-point control in FPCR.
#include "observe/fp_control.hpp"

namespace plugin_check {
namespace {

constexpr std::array<const char *, 4> rounding_names = {"to-nearest", "upward", "downward",
                                                        "toward-zero"};

struct Trap {
  unsigned bit;
  const char *name;
};
constexpr std::array<Trap, 6> traps = {{{8, "invalid-operation"},
                                        {9, "divide-by-zero"},
                                        {10, "overflow"},
                                        {11, "underflow"},
                                        {12, "inexact"},
                                        {15, "denormal-input"}}};

}  // namespace

std::array<std::uint32_t, 2> fp::read_control() {
  std::uint64_t fpcr = 0;
  __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
  return {static_cast<std::uint32_t>(fpcr), 0};
}

int fp::x87_registers_in_use() { return -1; }

std::vector<std::string> fp::changes(const std::array<std::uint32_t, 2> &before,
                                     const std::array<std::uint32_t, 2> &after) {
  const std::uint32_t old_word = before[0];
  const std::uint32_t new_word = after[0];
  if (old_word == new_word) {
    return {};
  }
  fp::Phrases phrases;
  phrases.rounding(rounding_names.at((old_word >> 22U) & 3U),
                   rounding_names.at((new_word >> 22U) & 3U));
  phrases.flag(fp::bit(old_word, 24), fp::bit(new_word, 24), "flush-to-zero");
  phrases.flag(fp::bit(old_word, 19), fp::bit(new_word, 19), "half-precision flush-to-zero");
  phrases.flag(fp::bit(old_word, 25), fp::bit(new_word, 25), "default-NaN mode");
  for (const Trap &trap : traps) {
    phrases.trap(fp::bit(old_word, trap.bit), fp::bit(new_word, trap.bit), trap.name);
  }
  return phrases.with_words("FPCR " + fp::hex(old_word, 8) + " -> " + fp::hex(new_word, 8));
}

}  // namespace plugin_check
