// Text made safe inside XML, for the two programs' XML outputs: plugin-check's
// JUnit report and host-sim's plot. One escaping, so both stay well-formed
// alike.
#pragma once

#include <string>
#include <string_view>

namespace tamrix_host {

// `text` with the five special characters escaped, and the control characters
// XML 1.0 cannot carry at all, even escaped, as '?'.
inline std::string xml_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
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
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r') {
          out += '?';
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace tamrix_host
