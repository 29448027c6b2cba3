// The difference of two snapshots, row by row, and the words of each row's
// change, the same on every platform: the platform's table says which
// wording a row takes and fills its template.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string_view>

#include "observe/process_state.hpp"
#include "programs/join.hpp"

namespace plugin_check {
namespace {

using tamrix_host::join;

std::vector<std::string> lines_of(const std::string &text, char end = '\n') {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line, end);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

// `words` with each %b, %a, %k and %d replaced.
std::string filled(std::string_view words, const std::string &before, const std::string &after,
                   const std::string &key = {}, const std::string &direction = {}) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] != '%' || i + 1 == words.size()) {
      text += words[i];
      continue;
    }
    switch (words[++i]) {
      case 'b':
        text += before;
        break;
      case 'a':
        text += after;
        break;
      case 'k':
        text += key;
        break;
      case 'd':
        text += direction;
        break;
      default:
        text += '%';
        text += words[i];
    }
  }
  return text;
}

// Where "unlimited" and the like stand above every number.
bool greater(const std::string &left, const std::string &right) {
  char *end = nullptr;
  const long long left_number = std::strtoll(left.c_str(), &end, 10);
  const bool left_numeric = end != left.c_str();
  const long long right_number = std::strtoll(right.c_str(), &end, 10);
  const bool right_numeric = end != right.c_str();
  if (left_numeric != right_numeric) {
    return !left_numeric;
  }
  return left_numeric ? left_number > right_number : left > right;
}

std::string direction(const std::string &before, const std::string &after) {
  return greater(after, before) ? "raised" : "lowered";
}

std::pair<std::string, std::string> split_at_space(const std::string &line) {
  const std::size_t space = line.find(' ');
  return space == std::string::npos ? std::pair{line, std::string()}
                                    : std::pair{line.substr(0, space), line.substr(space + 1)};
}

std::string name_of(const std::string &entry) { return entry.substr(0, entry.find('=')); }

// "set %k=value", "changed %k from a to b", "removed %k", %k filled with the
// NAME of each NAME=value entry; names are unique.
std::vector<std::string> entry_changes(std::string_view words, const std::string &before_text,
                                       const std::string &after_text) {
  const std::vector<std::string> before = lines_of(before_text, '\0');
  const std::vector<std::string> after = lines_of(after_text, '\0');
  const auto value_in = [](const std::vector<std::string> &entries, const std::string &name) {
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&name](const std::string &e) { return name_of(e) == name; });
    return found == entries.end() ? std::optional<std::string>()
                                  : std::optional<std::string>(found->substr(name.size() + 1));
  };
  std::vector<std::string> changes;
  for (const std::string &entry : after) {
    const std::string name = name_of(entry);
    const std::string value = entry.substr(std::min(entry.size(), name.size() + 1));
    const std::optional<std::string> old = value_in(before, name);
    if (!old) {
      changes.push_back("set " + filled(words, {}, {}, name) + "=" + value);
    } else if (*old != value) {
      changes.push_back("changed " + filled(words, {}, {}, name) + " from " + *old + " to " +
                        value);
    }
  }
  for (const std::string &entry : before) {
    if (!value_in(after, name_of(entry))) {
      changes.push_back("removed " + filled(words, {}, {}, name_of(entry)));
    }
  }
  return changes;
}

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

std::vector<std::string> row_changes(const Row &row, const std::string &before,
                                     const std::string &after) {
  if (before == after) {
    return {};
  }
  switch (row.wording) {
    case Wording::value:
      return {filled(row.words, before, after)};
    case Wording::amount:
      return {filled(row.words, before, after, {}, direction(before, after))};
    case Wording::limit: {
      const auto [soft_before, hard_before] = split_at_space(before);
      const auto [soft_after, hard_after] = split_at_space(after);
      if (soft_before != soft_after) {
        return {filled(row.words, soft_before, soft_after, {}, direction(soft_before, soft_after))};
      }
      return {filled(row.words, hard_before, hard_after, {},
                     direction(hard_before, hard_after) + " the hard limit of")};
    }
    case Wording::added: {
      const std::vector<std::string> old = lines_of(before);
      std::vector<std::string> changes;
      for (const std::string &item : lines_of(after)) {
        if (std::find(old.begin(), old.end(), item) == old.end()) {
          changes.push_back(filled(row.words, {}, item));
        }
      }
      return changes;
    }
    case Wording::keyed: {
      std::vector<std::string> changes;
      const std::vector<std::string> old = lines_of(before);
      for (const std::string &line : lines_of(after)) {
        const auto parts = split_at_space(line);
        const std::string &key = parts.first;
        const std::string &value = parts.second;
        const auto was = std::find_if(old.begin(), old.end(), [&key](const std::string &entry) {
          return split_at_space(entry).first == key;
        });
        if (was != old.end() && split_at_space(*was).second != value) {
          changes.push_back(filled(row.words, split_at_space(*was).second, value, key));
        }
      }
      return changes;
    }
    case Wording::entries:
      return entry_changes(row.words, before, after);
    case Wording::own:
      return row.say(before, after);
  }
  return {};
}

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
    } else {
      changes.push_back({row.aspect, std::move(text), &row});
    }
  }
  return changes;
}

}  // namespace plugin_check
