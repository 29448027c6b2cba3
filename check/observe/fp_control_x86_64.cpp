// x86-64 keeps two control words: MXCSR for SSE, which compiled code uses,
// and the x87 control word for long double. A plug-in may change either.
#include <bit>

#include "observe/fp_control.hpp"

namespace plugin_check {
namespace {

constexpr std::uint32_t mxcsr_flags = 0x3fU;    // sticky status, not control
constexpr std::uint32_t x87_control = 0x0f3fU;  // masks, precision, rounding
constexpr std::array<const char *, 4> rounding_names = {"to-nearest", "downward", "upward",
                                                        "toward-zero"};
constexpr std::array<const char *, 4> precision_names = {"24-bit", "reserved", "53-bit", "64-bit"};

}  // namespace

std::array<std::uint32_t, 2> fp::read_control() {
  std::uint32_t mxcsr = 0;
  std::uint16_t x87 = 0;
  __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
  __asm__ volatile("fnstcw %0" : "=m"(x87));
  return {mxcsr & ~mxcsr_flags, x87};
}

int fp::x87_registers_in_use() {
  // FXSAVE, unlike FNSTENV, leaves the exception masks as they were; its
  // abridged tag word has one bit set per register in use.
  alignas(16) std::array<std::uint8_t, 512> area{};
  __asm__ volatile("fxsave %0" : "=m"(area));
  constexpr std::size_t abridged_tag = 4;
  return std::popcount(area[abridged_tag]);
}

std::vector<std::string> fp::changes(const std::array<std::uint32_t, 2> &before,
                                     const std::array<std::uint32_t, 2> &after) {
  const std::uint32_t sse_before = before[0];
  const std::uint32_t sse_after = after[0];
  const std::uint32_t x87_before = before[1] & x87_control;
  const std::uint32_t x87_after = after[1] & x87_control;
  if (sse_before == sse_after && x87_before == x87_after) {
    return {};
  }
  fp::Phrases phrases;
  phrases.rounding(rounding_names.at((sse_before >> 13U) & 3U),
                   rounding_names.at((sse_after >> 13U) & 3U));
  phrases.rounding(rounding_names.at((x87_before >> 10U) & 3U),
                   rounding_names.at((x87_after >> 10U) & 3U));
  const bool ftz_changed = fp::bit(sse_before, 15) != fp::bit(sse_after, 15);
  const bool daz_changed = fp::bit(sse_before, 6) != fp::bit(sse_after, 6);
  if (ftz_changed && daz_changed && fp::bit(sse_before, 15) == fp::bit(sse_before, 6)) {
    phrases.flag(fp::bit(sse_before, 15), fp::bit(sse_after, 15),
                 "flush-to-zero and denormals-are-zero");
  } else {
    phrases.flag(fp::bit(sse_before, 15), fp::bit(sse_after, 15), "flush-to-zero");
    phrases.flag(fp::bit(sse_before, 6), fp::bit(sse_after, 6), "denormals-are-zero");
  }
  for (unsigned i = 0; i < fp::x86_exceptions.size(); ++i) {
    // A set bit masks the exception: the trap is off.
    phrases.trap(!fp::bit(sse_before, 7 + i), !fp::bit(sse_after, 7 + i), fp::x86_exceptions.at(i));
    phrases.trap(!fp::bit(x87_before, i), !fp::bit(x87_after, i), fp::x86_exceptions.at(i));
  }
  const std::uint32_t precision_before = (x87_before >> 8U) & 3U;
  const std::uint32_t precision_after = (x87_after >> 8U) & 3U;
  if (precision_before != precision_after) {
    phrases.add(std::string("changed the x87 precision from ") +
                precision_names.at(precision_before) + " to " +
                precision_names.at(precision_after));
  }
  std::string words = "MXCSR " + fp::hex(sse_before, 4) + " -> " + fp::hex(sse_after, 4);
  if (x87_before != x87_after) {
    words += ", x87 control word " + fp::hex(before[1], 4) + " -> " + fp::hex(after[1], 4);
  }
  return phrases.with_words(words);
}

}  // namespace plugin_check
