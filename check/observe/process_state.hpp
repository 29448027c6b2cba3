// What a plug-in could leave changed in the process that loaded it, taken as
// one snapshot, and the difference between two snapshots in words. The
// snapshot is the same type everywhere; what fills it, and what the
// floating-point and signal words mean, is in one file per platform family
// (process_state_posix.cpp, process_state_windows.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_check {

// The parts of a snapshot, one check each.
enum class Aspect {
  fp_environment,  // rounding, traps, flush-to-zero
  signals,         // dispositions and the calling thread's mask
  threads,
  processes,    // processes this one started
  descriptors,  // open descriptors or handles, and what 0, 1 and 2 refer to
  settings,     // working directory, umask, environment, locale
  heap,         // blocks allocated and not freed
  process,      // the rows of the process table below, one change each
};

// ---- The process table: everything else the kernel and the C library say
// about the process and the calling thread, one row a field. A new field is
// one more row in the platform's table (process_table_posix.cpp,
// process_table_windows.cpp); the snapshot, the difference and the check
// that reports it follow.

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
};

struct TableSources;  // what one snapshot reads once for every row; per platform

struct Row {
  std::string_view name;  // short and stable: "RLIMIT_NOFILE", "nice"
  RowLevel level;
  Wording wording;
  std::string_view words;  // "%d RLIMIT_NOFILE from %b to %a"
  // The row's value as text, or nothing where it cannot be read soundly.
  std::optional<std::string> (*read)(TableSources &sources);
  // Loading a library changes it by itself (the libraries mapped): compared
  // from after the load while the plug-in is loaded.
  bool changes_with_load = false;
  // Something a plug-in may hold from init to cleanup (a timer): judged by
  // what is left at the end of a life, not after each call.
  bool held_for_life = false;
};

// The rows this platform reads, in the order of the table.
std::span<const Row> process_rows();

// Reads every row of process_rows(), in order.
std::vector<std::optional<std::string>> read_process_table();

// Gives stdout and stderr the state of a host's that has not printed yet
// (no orientation), on the descriptors they have; where the table reads no
// stream state, nothing.
void fresh_standard_streams();

struct SignalState {
  int number = 0;
  std::uintptr_t handler = 0;  // SIG_DFL, SIG_IGN or the function, as a number
  long flags = 0;
  bool blocked = false;
};

struct ProcessState {
  // The floating-point control registers as the platform names them (MXCSR
  // and the x87 control word, FPCR, or _controlfp's word); status flags left out.
  std::array<std::uint32_t, 2> fp{};
  std::vector<SignalState> signals;             // empty where there are none
  long threads = -1;                            // -1: the system cannot tell
  std::vector<long> children;                   // process ids, sorted
  long descriptors = -1;                        // open descriptors or handles; -1: no count
  std::array<std::string, 3> standard_streams;  // what 0, 1 and 2 refer to
  std::string working_directory;
  int umask = -1;                        // -1: none on this platform
  std::vector<std::string> environment;  // NAME=value, sorted
  std::vector<std::string> locale;       // one CATEGORY=name per category
  long heap_outstanding = 0;             // left for the caller, who counts it (heap_count.hpp)
  // One value per row of process_rows(), in order; nothing for a row that
  // cannot be read. Empty in a state made by hand: no row compared.
  std::vector<std::optional<std::string>> table;
};

// Everything above, as it stands now.
ProcessState snapshot();

struct Change {
  Aspect aspect;
  // What happened, as said of the call that did it: "turned on flush-to-zero
  // and denormals-are-zero (MXCSR 0x1f80 -> 0x9fc0)", "changed the working
  // directory from /work to /".
  std::string text;
  // For Aspect::process: the row that changed, and its level. Every other
  // aspect is judged by its own check's level.
  std::string_view row = {};
  RowLevel level = RowLevel::failure;
  // The row changes by itself when a library is loaded (Row::changes_with_load):
  // compare it from a state taken after the load.
  bool changes_with_load = false;
};

// What differs from `before` in `after`, in words, in the order of Aspect;
// one change per table row that differs, in the table's order. The heap is
// left to the caller, which knows over what span it must balance.
std::vector<Change> difference(const ProcessState &before, const ProcessState &after);

// Whether the library loaded from `path` is still mapped into this process.
bool library_still_loaded(const std::string &path);

// ---- For the platform files: the words only they know.

// The changes of the floating-point words, and the words themselves.
std::vector<std::string> fp_changes(const std::array<std::uint32_t, 2> &before,
                                    const std::array<std::uint32_t, 2> &after);
std::vector<std::string> signal_changes(const std::vector<SignalState> &before,
                                        const std::vector<SignalState> &after);

// Every row of `rows`, in order, each source read at most once.
template <typename Sources>
std::vector<std::optional<std::string>> read_rows(std::span<const Row> rows) {
  Sources sources;
  std::vector<std::optional<std::string>> values;
  values.reserve(rows.size());
  for (const Row &row : rows) {
    values.push_back(row.read(sources));
  }
  return values;
}

// The words of one table row's change; empty when nothing that matters changed.
std::vector<std::string> row_changes(const Row &row, const std::string &before,
                                     const std::string &after);

}  // namespace plugin_check
