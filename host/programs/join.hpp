// Lists in report lines: "a, b and c" is never built by hand.
#pragma once

#include <cstddef>
#include <iterator>
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

// `items`, text already, as a sentence lists them: "a", "a and b", "a, b and c".
template <typename Items>
std::string listed(const Items &items) {
  std::string text;
  const std::size_t count = std::size(items);
  std::size_t i = 0;
  for (const auto &item : items) {
    text.append(i == 0 ? "" : i + 1 == count ? " and " : ", ");
    text.append(item);
    ++i;
  }
  return text;
}

}  // namespace tamrix_host
