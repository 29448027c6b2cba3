// The difference of two snapshots, row by row, the same on every platform.
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "observe/process_state.hpp"
#include "programs/join.hpp"

namespace plugin_check {
namespace {

using tamrix_host::join;

std::string counted(long count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// "started 1 thread (1 -> 2)", "stopped 2 threads (3 -> 1)"
std::vector<std::string> count_change(const std::string &was, const std::string &is,
                                      std::string_view more, std::string_view fewer,
                                      std::string_view one, std::string_view many) {
  const long before = std::strtol(was.c_str(), nullptr, 10);
  const long after = std::strtol(is.c_str(), nullptr, 10);
  const long by = after > before ? after - before : before - after;
  return {std::string(after > before ? more : fewer) + " " + counted(by, one, many) + " (" +
          std::to_string(before) + " -> " + std::to_string(after) + ")"};
}

long count_of(const ProcessState &state, std::string_view row) {
  const std::optional<std::string> count = state.value(row);
  return count ? std::strtol(count->c_str(), nullptr, 10) : -1;
}

}  // namespace

std::vector<std::string> threads_changed(const std::string &before, const std::string &after) {
  return count_change(before, after, "started", "stopped", "thread", "threads");
}

std::vector<std::string> descriptors_changed(const std::string &before, const std::string &after) {
  return count_change(before, after, "left open", "closed", "descriptor", "descriptors");
}

std::optional<std::string> ProcessState::value(std::string_view row) const {
  const std::span<const Row> rows = process_rows();
  const auto found =
      std::find_if(rows.begin(), rows.end(), [row](const Row &each) { return each.name == row; });
  const auto at = static_cast<std::size_t>(found - rows.begin());
  return at < values.size() ? values[at] : std::nullopt;
}

long ProcessState::threads() const { return count_of(*this, "threads"); }

long ProcessState::descriptors() const { return count_of(*this, "descriptors"); }

std::vector<Change> difference(const ProcessState &before, const ProcessState &after) {
  std::vector<Change> changes;
  const std::span<const Row> rows = process_rows();
  const std::size_t compared = std::min({rows.size(), before.values.size(), after.values.size()});
  for (std::size_t i = 0; i < compared; ++i) {
    const Row &row = rows[i];
    if (!before.values[i] || !after.values[i]) {
      continue;
    }
    const std::vector<std::string> parts = row_changes(row, *before.values[i], *after.values[i]);
    if (parts.empty()) {
      continue;
    }
    std::string text = join(parts, " and ");
    if (row.aspect != Aspect::process && !changes.empty() && changes.back().aspect == row.aspect) {
      changes.back().text += " and " + text;
    } else if (row.aspect != Aspect::process) {
      changes.push_back({row.aspect, std::move(text)});
    } else {
      changes.push_back({row.aspect, std::move(text), row.name, row.level, row.changes_with_load});
    }
  }
  return changes;
}

}  // namespace plugin_check
