// Lists in report lines: "a, b and c" is never built by hand.
#pragma once

#include <string>
#include <string_view>

namespace tamrix_host {

// `items` with `separator` between each two; each item as `words` gives it,
// which may return anything a std::string appends (a string, a view, a C
// string).
template <typename Items, typename Words>
std::string join(const Items &items, std::string_view separator, Words words) {
  std::string text;
  bool first = true;
  for (const auto &item : items) {
    if (!first) {
      text.append(separator);
    }
    first = false;
    text.append(words(item));
  }
  return text;
}

// `items`, text already, with `separator` between each two.
template <typename Items>
std::string join(const Items &items, std::string_view separator) {
  return join(
      items, separator, [](const auto &item) -> const auto & { return item; });
}

}  // namespace tamrix_host
