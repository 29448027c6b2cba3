// The process read whole: every line of the system's own accounts of this
// process and its threads that holds state, as one snapshot, beside the
// table's chosen rows. A setting no row names still shows as a line that
// differs. Read where the system keeps such accounts as text
// (whole_process_linux.cpp); elsewhere a snapshot is empty
// (whole_process_none.cpp) and the check is not made.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_check {

// One account, e.g. "/proc/self/status", its lines by key: a field's name
// where the line has one ("NoNewPrivs"), else the line itself (a mapping, a
// mount). Lines that are counters by nature (times, faults, sizes the heap
// moves) are not read at all.
struct WholeFile {
  std::string name;
  std::map<std::string, std::string> lines;
  // Other processes' entries too (a system-wide table that says not who
  // made them): only lines that appear may be this process's doing.
  bool shared = false;
  // The mappings: a library still loaded adds its files' lines here.
  bool mappings = false;
};

struct WholeProcess {
  std::vector<WholeFile> files;
};

// Every account as it stands now. The calling thread's files are named as
// "the life's thread", so two snapshots taken on one thread match its lines
// whatever its id; other threads are matched by their ids.
WholeProcess whole_process();

// One line that differs: in both with another text, or in one only.
struct LineChange {
  std::string file;
  std::string key;
  std::optional<std::string> before;
  std::optional<std::string> after;
};

// The lines of `after` that differ from `before`, in the accounts' order.
// An account in only one of them (a descriptor opened or closed, a thread
// started or ended) is the table's to tell, so it is not compared.
std::vector<LineChange> line_changes(const WholeProcess &before, const WholeProcess &after);

// Which rows of the table say `change` in their own words when they differ:
// their names, and texts one of which the row's value must then hold (a
// mapping's address, a library's file name), or none. Rows of every aspect
// count, since each aspect's check reports its own.
struct WordedBy {
  std::vector<std::string_view> rows;
  std::vector<std::string> mentions;
};
WordedBy worded_by(const LineChange &change);

}  // namespace plugin_check
