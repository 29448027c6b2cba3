// The difference of two snapshots: what is the same on every platform here,
// the floating-point and signal words in the platform's own file.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
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
std::string count_change(long before, long after, std::string_view more, std::string_view fewer,
                         std::string_view one, std::string_view many) {
  const long by = after > before ? after - before : before - after;
  return std::string(after > before ? more : fewer) + " " + counted(by, one, many) + " (" +
         std::to_string(before) + " -> " + std::to_string(after) + ")";
}

std::string name_of(const std::string &entry) { return entry.substr(0, entry.find('=')); }

// "set NAME=value", "changed NAME from a to b", "removed NAME"; entries are
// NAME=value, sorted by the whole entry, names unique.
std::vector<std::string> entry_changes(const std::vector<std::string> &before,
                                       const std::vector<std::string> &after,
                                       std::string_view what) {
  std::vector<std::string> changes;
  const auto value_in = [](const std::vector<std::string> &entries, const std::string &name) {
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&name](const std::string &e) { return name_of(e) == name; });
    return found == entries.end() ? std::optional<std::string>()
                                  : std::optional<std::string>(found->substr(name.size() + 1));
  };
  for (const std::string &entry : after) {
    const std::string name = name_of(entry);
    const std::string value = entry.substr(std::min(entry.size(), name.size() + 1));
    const std::optional<std::string> old = value_in(before, name);
    std::string change;
    if (!old) {
      change.append("set ").append(what).append(name).append("=").append(value);
    } else if (*old != value) {
      change.append("changed ").append(what).append(name).append(" from ").append(*old);
      change.append(" to ").append(value);
    }
    if (!change.empty()) {
      changes.push_back(std::move(change));
    }
  }
  for (const std::string &entry : before) {
    if (!value_in(after, name_of(entry))) {
      changes.push_back("removed " + std::string(what) + name_of(entry));
    }
  }
  return changes;
}

std::string pids_text(const std::vector<long> &pids) {
  return join(pids, ", ", [](long pid) { return std::to_string(pid); });
}

std::string octal(int mode) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode));
  return text.data();
}

}  // namespace

std::vector<Change> difference(const ProcessState &before, const ProcessState &after) {
  std::vector<Change> changes;
  const auto add = [&changes](Aspect aspect, const std::vector<std::string> &parts) {
    if (!parts.empty()) {
      changes.push_back({aspect, join(parts, " and ")});
    }
  };
  add(Aspect::fp_environment, fp_changes(before.fp, after.fp));
  add(Aspect::signals, signal_changes(before.signals, after.signals));
  if (before.threads >= 0 && after.threads >= 0 && before.threads != after.threads) {
    add(Aspect::threads,
        {count_change(before.threads, after.threads, "started", "stopped", "thread", "threads")});
  }
  std::vector<long> started;
  std::set_difference(after.children.begin(), after.children.end(), before.children.begin(),
                      before.children.end(), std::back_inserter(started));
  if (!started.empty()) {
    add(Aspect::processes,
        {"started " + counted(static_cast<long>(started.size()), "process", "processes") +
         " that did not end (process id " + pids_text(started) + ")"});
  }
  std::vector<std::string> descriptors;
  if (before.descriptors >= 0 && after.descriptors >= 0 &&
      before.descriptors != after.descriptors) {
    descriptors.push_back(count_change(before.descriptors, after.descriptors, "left open", "closed",
                                       "descriptor", "descriptors"));
  }
  for (std::size_t fd = 0; fd < before.standard_streams.size(); ++fd) {
    if (before.standard_streams.at(fd) != after.standard_streams.at(fd)) {
      descriptors.push_back("pointed descriptor " + std::to_string(fd) + " at " +
                            after.standard_streams.at(fd) + " instead of " +
                            before.standard_streams.at(fd));
    }
  }
  add(Aspect::descriptors, descriptors);
  std::vector<std::string> settings;
  if (before.working_directory != after.working_directory) {
    settings.push_back("changed the working directory from " + before.working_directory + " to " +
                       after.working_directory);
  }
  if (before.umask != after.umask) {
    settings.push_back("changed the umask from " + octal(before.umask) + " to " +
                       octal(after.umask));
  }
  for (std::string &change :
       entry_changes(before.environment, after.environment, "the environment variable ")) {
    settings.push_back(std::move(change));
  }
  for (std::string &change : entry_changes(before.locale, after.locale, "the locale ")) {
    settings.push_back(std::move(change));
  }
  add(Aspect::settings, settings);
  const std::span<const Row> rows = process_rows();
  const std::size_t compared = std::min({rows.size(), before.table.size(), after.table.size()});
  for (std::size_t i = 0; i < compared; ++i) {
    if (before.table[i] && after.table[i]) {
      const std::vector<std::string> parts =
          row_changes(rows[i], *before.table[i], *after.table[i]);
      if (!parts.empty()) {
        changes.push_back({Aspect::process, join(parts, " and "), rows[i].name, rows[i].level,
                           rows[i].changes_with_load});
      }
    }
  }
  return changes;
}

}  // namespace plugin_check
