#include "registry.hpp"

#include <algorithm>

namespace plugin_check {
namespace {

// A function's own static, so registrations made while other files' statics
// are constructed find it ready, whatever the order.
std::vector<Check> &registered() {
  static std::vector<Check> all;
  return all;
}

}  // namespace

Registration::Registration(const Check &check, const char *file) noexcept {
  registered().push_back(check);
  registered().back().source = file;
}

const std::vector<Check> &checks() {
  // Sorted once, at first use, when every file's registrations are in.
  static const bool sorted = [] {
    std::stable_sort(registered().begin(), registered().end(),
                     [](const Check &a, const Check &b) { return a.group < b.group; });
    return true;
  }();
  static_cast<void>(sorted);
  return registered();
}

const Check *find_check(std::string_view name) {
  for (const Check &check : checks()) {
    if (check.name == name) {
      return &check;
    }
  }
  return nullptr;
}

}  // namespace plugin_check
