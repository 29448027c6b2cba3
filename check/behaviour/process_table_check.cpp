// The whole process table over one life: every row the platform reads,
// compared after each call with the process as the host had it, so a
// setting nobody thought to list is seen as soon as the table has a row.
#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "observe/process_state.hpp"
#include "sandbox/console.hpp"

namespace plugin_check {
namespace {

using tamrix_host::entering;

struct Moment {
  std::string call;
  std::vector<std::optional<std::string>> table;
};

constexpr int lived_steps = 3;

// One life with services that do nothing, the table read before load and
// after every call and the unload.
std::vector<Moment> table_over_life(const std::string &path, Host &host) {
  sandbox::capture_console();
  fresh_standard_streams();
  const long threads_before = snapshot().threads;
  std::vector<Moment> moments;
  moments.push_back({"before load", read_process_table()});
  entering("loading the file");
  auto plugin = std::make_unique<const Plugin>(path);
  entering(nullptr);
  moments.push_back({"loading the file", read_process_table()});
  const auto call = [&moments, &plugin](auto hook, auto... args) {
    plugin->call(hook, args...);
    moments.push_back({hook.name, read_process_table()});
  };
  stub_life<5>(host, lived_steps, call);
  // Code of the plug-in's may still run (a thread, a timer's handler): the
  // threads-left check says so; here the library stays, to read the rest.
  if (snapshot().threads > threads_before) {
    static_cast<void>(plugin.release());  // NOLINT(bugprone-unused-return-value)
    return moments;
  }
  entering("unloading the file");
  plugin.reset();
  entering(nullptr);
  moments.push_back({"unloading the file", read_process_table()});
  return moments;
}

struct Found {
  std::string text;
  RowLevel level;
  std::size_t moment;
};

// The first moment after which `row` differs, if any. A row that loading
// changes by itself is measured from after the load while the plug-in is
// loaded, and from before it once it is gone.
std::optional<Found> first_change(const Row &row, std::size_t index,
                                  const std::vector<Moment> &moments) {
  const bool unloaded = moments.back().call == "unloading the file";
  for (std::size_t i = row.changes_with_load ? 2 : 1; i < moments.size(); ++i) {
    const bool gone = unloaded && i + 1 == moments.size();
    const Moment &from = row.changes_with_load && !gone ? moments.at(1) : moments.front();
    const std::optional<std::string> &was = from.table.at(index);
    const std::optional<std::string> &is = moments[i].table.at(index);
    if (!was || !is) {
      continue;
    }
    if (const std::vector<std::string> changes = row_changes(row, *was, *is); !changes.empty()) {
      return Found{moments[i].call + " " + changes.front(), row.level, i};
    }
  }
  return std::nullopt;
}

}  // namespace

Outcome process_left_as_found(const std::string &path, Host &host) {
  const std::vector<Moment> moments = table_over_life(path, host);
  const std::span<const Row> rows = process_rows();
  std::vector<Found> found;
  for (std::size_t row = 0; row < rows.size(); ++row) {
    if (std::optional<Found> change = first_change(rows[row], row, moments)) {
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
          text + "; the process is the host's, so a plug-in leaves it as it found it"};
}

const Registration process_left_as_found_check{{
    .name = "process-left-as-found",
    .proves = "no call leaves any setting of the process table changed: limits, scheduling, "
              "prctl, ids, timers, namespaces, mappings, descriptors, standard streams, locale",
    .group = Group::table,
    .run_loading = process_left_as_found,
}};

}  // namespace plugin_check
