// Text a plug-in hands over, made safe to show: whatever it holds, a report
// line stays one line, moves no cursor, sets no colour, and cannot pass for
// one of the programs' own lines. Every path that shows plug-in text to a
// person, and the XML outputs, go through here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace tamrix_host {

// The code point of the UTF-8 sequence at `text[at]`, and its length in
// `length`; -1 (length 1) for a byte that starts no valid sequence: a stray
// continuation, an overlong form, a surrogate, beyond U+10FFFF or cut short.
inline long utf8_code_point(std::string_view text, std::size_t at, std::size_t &length) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  length = 1;
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    return lead;
  }
  std::size_t count = 0;
  long point = 0;
  long least = 0;
  if ((lead & 0xe0U) == 0xc0U) {
    count = 2;
    point = lead & 0x1fL;
    least = 0x80;
  } else if ((lead & 0xf0U) == 0xe0U) {
    count = 3;
    point = lead & 0x0fL;
    least = 0x800;
  } else if ((lead & 0xf8U) == 0xf0U) {
    count = 4;
    point = lead & 0x07L;
    least = 0x10000;
  } else {
    return -1;
  }
  if (text.size() - at < count) {
    return -1;
  }
  for (std::size_t i = 1; i < count; ++i) {
    if ((byte(at + i) & 0xc0U) != 0x80U) {
      return -1;
    }
    point = (point << 6) | (byte(at + i) & 0x3fL);
  }
  if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
    return -1;
  }
  length = count;
  return point;
}

namespace visible_detail {

// Code points that steer a terminal or the reading order without being seen:
// the C1 controls (0x9b starts an escape sequence on its own), the
// direction marks and overrides, and the line and paragraph separators.
inline bool steers(long point) {
  return (point >= 0x80 && point <= 0x9f) || point == 0x200e || point == 0x200f ||
         (point >= 0x2028 && point <= 0x202e) || (point >= 0x2066 && point <= 0x2069);
}

// "\x1b": a control character or a byte of invalid UTF-8.
inline void append_byte(std::string &out, unsigned long byte) {
  std::array<char, 8> escape{};
  std::snprintf(escape.data(), escape.size(), "\\x%02lx", byte & 0xffU);
  out += escape.data();
}

// "\u202e": a code point that is valid, but must not act.
inline void append_code_point(std::string &out, unsigned long point) {
  std::array<char, 12> escape{};
  // A code point has 21 bits at most, which the mask tells the compiler.
  std::snprintf(escape.data(), escape.size(), "\\u%04lx", point & 0x1fffffU);
  out += escape.data();
}

}  // namespace visible_detail

// `text` with each code point that `escape(point, out)` writes itself (it
// returns true) replaced by what it wrote, the rest kept as they are, and each
// byte of invalid UTF-8 written as "\xff".
template <typename Escape>
std::string escaped_each(std::string_view text, Escape escape) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = 1;
    const long point = utf8_code_point(text, at, length);
    if (point < 0) {
      visible_detail::append_byte(out, static_cast<unsigned char>(text[at]));
    } else if (!escape(point, out)) {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

// `text` with every control character, escape sequence and byte of invalid
// UTF-8 written as a visible escape: "\n", "\r", "\t", "\x1b" for a control
// or stray byte, "\u202e" for a code point that steers the display. Valid
// UTF-8 text such as "é" stays as it is. The result holds only printable
// characters, so escaping it again changes nothing.
inline std::string visible(std::string_view text) {
  return escaped_each(text, [](long point, std::string &out) {
    if (point == '\n' || point == '\r' || point == '\t') {
      out += point == '\n' ? "\\n" : point == '\r' ? "\\r" : "\\t";
    } else if (point < 0x20 || point == 0x7f) {
      visible_detail::append_byte(out, static_cast<unsigned long>(point));
    } else if (visible_detail::steers(point)) {
      visible_detail::append_code_point(out, static_cast<unsigned long>(point));
    } else {
      return false;
    }
    return true;
  });
}

}  // namespace tamrix_host
