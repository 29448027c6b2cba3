// Text made safe inside XML, for the two programs' XML outputs: plugin-check's
// JUnit report and host-sim's plot. One escaping, so both stay well-formed
// alike, whatever bytes they are given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "programs/visible_text.hpp"

namespace tamrix_host {

// `text` as XML 1.0 character data, fit for an attribute value or an
// element's content alike: the five special characters as entities, a tab or
// line break as a character reference (an attribute keeps it so), and what
// XML 1.0 cannot carry at all, even escaped, as visible text in the manner of
// visible(): other controls, U+FFFE and U+FFFF, and bytes of invalid UTF-8.
inline std::string xml_escaped(std::string_view text) {
  return escaped_each(text, [](long point, std::string &out) {
    switch (point) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (point < 0x20) {
          visible_detail::append_byte(out, static_cast<unsigned long>(point));
        } else if (point == 0xfffe || point == 0xffff) {
          visible_detail::append_code_point(out, static_cast<unsigned long>(point));
        } else {
          return false;
        }
    }
    return true;
  });
}

}  // namespace tamrix_host
