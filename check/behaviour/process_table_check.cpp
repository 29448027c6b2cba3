// The whole process table over one life: every row the platform reads that
// no check of its own judges, compared after each call with the process as
// the host had it, so a setting nobody thought to list is seen as soon as the
// table has a row.
#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/watched_life.hpp"
#include "observe/process_state.hpp"
#include "sandbox/console.hpp"

namespace plugin_check {
namespace {

constexpr int lived_steps = 3;

// One life with services that do nothing, the table read before load and
// after every call and the unload.
std::vector<Moment<ProcessState>> table_over_life(const std::string &path, Host &host) {
  sandbox::capture_console();
  fresh_standard_streams();
  return watched_life<5>(
      path, host, lived_steps, [] { return snapshot(Aspect::process); },
      [](const Plugin &plugin, auto tag, auto... args) { plugin.call(tag, args...); });
}

struct Found {
  std::string text;
  RowLevel level;
  std::size_t moment;
};

// The first moment after which `row` differs, if any. A row that loading
// changes by itself is measured from after the load while the plug-in is
// loaded, and from before it once it is gone. A row a plug-in may hold for
// its life differs only if it still does at the end, named by the call from
// which it did.
std::optional<Found> row_change(const Row &row, std::size_t index,
                                const std::vector<Moment<ProcessState>> &moments) {
  const bool gone_at_end = unloaded(moments);
  const auto differs = [&](std::size_t i) -> std::string {
    const bool gone = gone_at_end && i + 1 == moments.size();
    const auto &from = row.changes_with_load && !gone ? moments.at(1) : moments.front();
    const std::optional<std::string> &was = from.seen.values.at(index);
    const std::optional<std::string> &is = moments[i].seen.values.at(index);
    if (!was || !is) {
      return {};
    }
    const std::vector<std::string> changes = row_changes(row, *was, *is);
    return changes.empty() ? std::string() : changes.front();
  };
  const std::size_t start = row.changes_with_load ? 2 : 1;
  if (row.held_for_life) {
    const std::size_t last = moments.size() - 1;
    const std::string left = last >= start ? differs(last) : std::string();
    if (left.empty()) {
      return std::nullopt;
    }
    const std::size_t from =
        held_since(moments, start, [&](std::size_t i) { return !differs(i).empty(); });
    return Found{moments[from].call + " " + left, row.level, from};
  }
  const std::optional<FirstChange> change = first_change(moments, start, differs);
  if (!change) {
    return std::nullopt;
  }
  return Found{change->text, row.level, change->moment};
}

}  // namespace

Outcome process_left_as_found(const std::string &path, Host &host) {
  const std::vector<Moment<ProcessState>> moments = table_over_life(path, host);
  const std::span<const Row> rows = process_rows();
  std::vector<Found> found;
  for (std::size_t row = 0; row < rows.size(); ++row) {
    if (rows[row].aspect != Aspect::process) {
      continue;
    }
    if (std::optional<Found> change = row_change(rows[row], row, moments)) {
      found.push_back(std::move(*change));
    }
  }
  if (found.empty()) {
    return passed();
  }
  // Failures first; within a level, the earliest call, then the table's order.
  std::stable_sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
    return a.level != b.level ? a.level < b.level : a.moment < b.moment;
  });
  std::string text = found.front().text;
  if (found.size() > 1) {
    text += " (and " + std::to_string(found.size() - 1) + " more: " + found[1].text +
            (found.size() > 2 ? ", ...)" : ")");
  }
  return {found.front().level == RowLevel::failure ? Verdict::fail : Verdict::warn,
          text + "; the process is the host's"};
}

const Registration process_left_as_found_check{{
    .name = "process-left-as-found",
    .proves = "no call leaves any setting of the process table changed: limits, scheduling, "
              "prctl, ids, timers, namespaces, mappings, descriptors, standard streams, locale",
    .fix = "restore every setting of the process you change before returning",
    .group = Group::table,
    .run_loading = process_left_as_found,
}};

}  // namespace plugin_check
