// What a plug-in could leave changed in the process that loaded it, taken as
// one snapshot, and the difference between two snapshots in words. The
// process is one table of rows, one a setting, each judged by one check; a
// new setting is one more row in the platform's table
// (process_table_posix.cpp, process_table_windows.cpp), and the snapshot, the
// difference and the check that reports it follow.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_check {

// The checks that judge the rows, in the order their rows come in a table.
enum class Aspect {
  fp_environment,  // rounding, traps, flush-to-zero
  signals,         // dispositions and the calling thread's mask
  threads,
  processes,    // processes this one started
  descriptors,  // open descriptors or handles, and what 0, 1 and 2 refer to
  settings,     // working directory, umask, environment, locale
  heap,         // blocks allocated and not freed
  process,      // every other row, one change each
};

enum class RowLevel {
  failure,
  warning,  // harmless to most hosts: a failure only under --strict
};

// How a change of the row's value is put in words; `words` holds the
// placeholders, filled from the values.
enum class Wording {
  value,   // the value as a whole: %b before, %a after
  amount,  // a number ("unlimited" the greatest): %d is "raised" or "lowered"
  limit,   // "soft hard": as amount for the soft limit, else the hard limit changed
  added,   // one item a line, only new items said, each on its own: %a
  keyed,   // "key value" a line, only keys in both whose value changed: %k, %b, %a
  // NAME=value items, each ended by a NUL (a value may hold a line break),
  // each set, changed or removed named as %k for its NAME
  entries,
  own,  // the row's own `say`
};

struct TableSources;  // what one snapshot reads once for every row; per platform

struct Row {
  std::string_view name;  // short and stable: "RLIMIT_NOFILE", "nice"
  RowLevel level = RowLevel::failure;
  Wording wording = Wording::value;
  std::string_view words = {};  // "%d RLIMIT_NOFILE from %b to %a"
  // The row's value as text, or nothing where it cannot be read soundly.
  std::optional<std::string> (*read)(TableSources &sources) = nullptr;
  // Loading a library changes it by itself (the libraries mapped): compared
  // from after the load while the plug-in is loaded.
  bool changes_with_load = false;
  // The check that judges it; the rows of one aspect come together.
  Aspect aspect = Aspect::process;
  // For Wording::own: each change in words, empty when nothing that matters changed.
  std::vector<std::string> (*say)(const std::string &before, const std::string &after) = nullptr;
  // Something a plug-in may hold from init to cleanup (a timer): judged by
  // what is left at the end of a life, not after each call.
  bool held_for_life = false;
};

// The rows this platform reads, in the order of the table.
std::span<const Row> process_rows();

// Gives stdout and stderr the state of a host's that has not printed yet
// (no orientation), on the descriptors they have; where the table reads no
// stream state, nothing.
void fresh_standard_streams();

struct ProcessState {
  // One value per row of process_rows(), in order; nothing for a row that
  // cannot be read. Empty in a state made by hand: no row compared.
  std::vector<std::optional<std::string>> values;
  long heap_outstanding = 0;  // left for the caller, who counts it (heap_count.hpp)

  // The value of the row named `row`, if it was read.
  [[nodiscard]] std::optional<std::string> value(std::string_view row) const;
  // The rows "threads" and "descriptors" (open handles on Windows); -1 where
  // the system cannot tell.
  [[nodiscard]] long threads() const;
  [[nodiscard]] long descriptors() const;
};

// Every row of process_rows(), as it stands now; with `only`, the rows of
// that aspect alone, the rest unread (a variable a plug-in left in the
// environment, say, may point into its unloaded library).
ProcessState snapshot(std::optional<Aspect> only = std::nullopt);

struct Change {
  Aspect aspect;
  // What happened, as said of the call that did it: "turned on flush-to-zero
  // and denormals-are-zero (MXCSR 0x1f80 -> 0x9fc0)", "changed the working
  // directory from /work to /".
  std::string text;
  // The row that changed. Every aspect but Aspect::process is one change of
  // all its rows (this the first), judged by its own check's level.
  const Row *row = nullptr;
};

// What differs from `before` in `after`, in words, in the table's order: one
// change per aspect, its rows' words joined, and one per Aspect::process row.
// The heap is left to the caller, which knows over what span it must balance.
std::vector<Change> difference(const ProcessState &before, const ProcessState &after);

// Whether the library loaded from `path` is still mapped into this process.
bool library_still_loaded(const std::string &path);

// ---- For the platform files.

// The words of the rows "threads" and "descriptors", counts on every platform.
std::vector<std::string> threads_changed(const std::string &before, const std::string &after);
std::vector<std::string> descriptors_changed(const std::string &before, const std::string &after);

// Every row of `rows` (of `only`), in order, each source read at most once.
template <typename Sources>
std::vector<std::optional<std::string>> read_rows(std::span<const Row> rows,
                                                  std::optional<Aspect> only) {
  Sources sources;
  std::vector<std::optional<std::string>> values;
  values.reserve(rows.size());
  for (const Row &row : rows) {
    values.push_back(!only || row.aspect == *only ? row.read(sources) : std::nullopt);
  }
  return values;
}

// The words of one table row's change; empty when nothing that matters changed.
std::vector<std::string> row_changes(const Row &row, const std::string &before,
                                     const std::string &after);

}  // namespace plugin_check
